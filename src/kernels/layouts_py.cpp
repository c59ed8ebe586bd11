// LAYOUTS of rainmill_models._kernels: the names of each continuous kernel's
// parameters, fluxes and storages, published from the arrays its binding reads.
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "frame.hpp"
#include "kernels/continuous_parameters.hpp"

namespace rainmill::py {

namespace {

// The module's LAYOUTS dict, made (and listed in __all__) on first use.
PyObject* layouts_of(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) throw ErrorPending{};
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, "LAYOUTS", &found) < 0) throw ErrorPending{};
    if (found != nullptr) {
        Py_DECREF(found);  // the module keeps it alive
        return found;
    }
    Ref layouts = checked(PyDict_New());
    Ref name = checked(PyUnicode_FromString("LAYOUTS"));
    add_value(module, name.get(), layouts.get());
    return layouts.get();  // held by the module from here on
}

}  // namespace

void publish_names(PyObject* module, const char* kernel, const char* group,
                   const std::string_view* names, std::size_t count) {
    PyObject* layouts = layouts_of(module);
    PyObject* entry = nullptr;
    if (PyDict_GetItemStringRef(layouts, kernel, &entry) < 0) throw ErrorPending{};
    Ref groups = entry != nullptr ? Ref::steal(entry) : checked(PyDict_New());
    if (entry == nullptr) check_status(PyDict_SetItemString(layouts, kernel, groups.get()));
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t k = 0; k < count; ++k) {
        PyObject* text =
            PyUnicode_FromStringAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
        if (text == nullptr) throw ErrorPending{};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), text);  // steals the reference
    }
    check_status(PyDict_SetItemString(groups.get(), group, tuple.get()));
}

}  // namespace rainmill::py
