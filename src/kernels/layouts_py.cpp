// LAYOUTS of rainmill_models._kernels: the names of each continuous kernel's
// parameters, fluxes and storages, published from the arrays its binding reads
// and listed in its docstring.
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <mutex>
#include <span>
#include <string>
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

// The names as a tuple of str.
Ref name_tuple(std::span<const Named> names) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string_view name = names[k].name;
        PyObject* text =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) throw ErrorPending{};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), text);  // steals the reference
    }
    return tuple;
}

// "a, b (inches), c and d (hours)": the unit follows the last of the names that share it.
std::string listed(std::span<const Named> names) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) text += k + 1 == names.size() ? " and " : ", ";
        text += names[k].name;
        const bool last_of_unit = k + 1 == names.size() || names[k + 1].unit != names[k].unit;
        if (last_of_unit && !names[k].unit.empty()) {
            text += " (";
            text += names[k].unit;
            text += ')';
        }
    }
    return text;
}

// `text` with every `token` replaced by `by`.
std::string replaced(std::string text, std::string_view token, const std::string& by) {
    for (std::size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + by.size())) {
        text.replace(at, token.size(), by);
    }
    return text;
}

// The paragraphs of `text` (split at blank lines) re-flowed into lines of at most 80 characters.
std::string wrapped(std::string_view text) {
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find("\n\n", start), text.size());
        if (!out.empty()) out += "\n\n";
        std::size_t column = 0;
        std::size_t word = start;
        while (word < end) {
            const std::size_t stop = std::min(text.find_first_of(" \n", word), end);
            if (stop > word) {
                const std::size_t length = stop - word;
                if (column > 0 && column + 1 + length > 80) {
                    out += '\n';
                    column = 0;
                } else if (column > 0) {
                    out += ' ';
                    ++column;
                }
                out.append(text.substr(word, length));
                column += length;
            }
            word = stop + 1;
        }
        start = end + 2;
    }
    return out;
}

}  // namespace

void add_continuous_kernel(PyObject* module, PyMethodDef* def, const Layout& layout) {
    // Filled once per process: the method definition outlives every module made from it.
    static std::mutex mutex;
    static std::deque<std::string> texts;
    {
        const std::lock_guard lock(mutex);
        const std::string_view doc = def->ml_doc;
        const std::size_t body = doc.find("\n--\n\n");
        if (body != std::string_view::npos && doc.find('{', body) != std::string_view::npos) {
            std::string text(doc.substr(body + 5));
            text = replaced(std::move(text), "{parameters}", listed(layout.parameters));
            text = replaced(std::move(text), "{fluxes}", listed(layout.fluxes));
            text = replaced(std::move(text), "{storages}", listed(layout.storages));
            texts.push_back(std::string(doc.substr(0, body + 5)) + wrapped(text));
            def->ml_doc = texts.back().c_str();
        }
    }
    add_function(module, def);
    Ref groups = checked(PyDict_New());
    check_status(
        PyDict_SetItemString(groups.get(), "parameters", name_tuple(layout.parameters).get()));
    check_status(PyDict_SetItemString(groups.get(), "fluxes", name_tuple(layout.fluxes).get()));
    check_status(PyDict_SetItemString(groups.get(), "storages", name_tuple(layout.storages).get()));
    check_status(PyDict_SetItemString(layouts_of(module), layout.kernel, groups.get()));
}

}  // namespace rainmill::py
