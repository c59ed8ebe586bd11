#include <string>

#include "frame.hpp"

namespace rainmill::py {

namespace {

Ref module_all(PyObject* module) {
    PyObject* all = PyObject_GetAttr(module, interned_all());
    if (all != nullptr) {
        if (!PyList_Check(all)) {
            const Ref held = Ref::steal(all);
            raise_cast_error(all, "list");
        }
        return Ref::steal(all);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorPending{};
    PyErr_Clear();
    Ref list = checked(PyList_New(0));
    check_status(PyObject_SetAttr(module, interned_all(), list.get()));
    return list;
}

}  // namespace

void add_value(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = module_all(module);
    if (PyList_Append(all.get(), name) < 0) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        std::string description = "unknown error";
        if (Ref text = Ref::steal(PyObject_Str(error.get()))) {
            if (const char* utf8 = PyUnicode_AsUTF8(text.get())) description = utf8;
        }
        PyErr_Clear();
        throw InternalFailure("could not append __name__ to __all__: " + description);
    }
    check_status(PyObject_SetAttr(module, name, value));
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = checked(PyModule_GetNameObject(module));
    Ref function = checked(PyCMethod_New(def, module, module_name.get(), nullptr));
    Ref name = checked(PyObject_GetAttr(function.get(), interned_name()));
    if (!PyUnicode_Check(name.get())) raise_cast_error(name.get(), "str");
    add_value(module, name.get(), function.get());
}

void attach_submodule(PyObject* parent, PyObject* child) {
    Ref full = checked(PyModule_GetNameObject(child));
    const Py_ssize_t length = PyUnicode_GetLength(full.get());
    const Py_ssize_t dot = PyUnicode_FindChar(full.get(), '.', 0, length, -1);
    if (dot == -2) throw ErrorPending{};
    Ref name =
        dot < 0 ? std::move(full) : checked(PyUnicode_Substring(full.get(), dot + 1, length));
    add_value(parent, name.get(), child);
}

Ref new_submodule(const char* name) {
    Ref text = checked(PyUnicode_FromString(name));
    return checked(PyModule_NewObject(text.get()));
}

void check_module(PyObject* object) {
    if (!PyModule_Check(object)) raise_cast_error(object, "module");
}

}  // namespace rainmill::py
