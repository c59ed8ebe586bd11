#include <string>

#include "frame.hpp"
#include "utils/large_buffers.hpp"

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

// The class type objects are process-wide: a second interpreter, even one
// that shares the main one's lock (which the interpreter would let import any
// module), would use them across interpreters and corrupt their caches.
void refuse_subinterpreter(PyObject* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return;
    Ref name = checked(PyModule_GetNameObject(module));
    Ref message = checked(
        PyUnicode_FromFormat("module %U does not support loading in subinterpreters", name.get()));
    PyErr_SetImportError(message.get(), name.get(), nullptr);
    throw ErrorPending{};
}

// The panic class exists before any call can fail: asked for on a failure
// path instead, its creation could itself fail at the stack or memory limit.
void create_panic_exception_type() {
    if (panic_exception_type() == nullptr) throw ErrorPending{};
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

void prepare_module(PyObject* module) {
    check_module(module);
    refuse_subinterpreter(module);
    create_panic_exception_type();
    keep_large_buffer_pages();
}

}  // namespace rainmill::py
