#include "frame_registry.hpp"

#include <string>
#include <vector>

namespace rainmill::py {

PyTypeObject* type_object(const ClassSpec& spec, OnceFlag& once, PyTypeObject*& slot) {
    const bool ok = call_once(once, [&spec, &slot] {
        const std::string qualified = std::string("builtins.") + spec.name;
        std::vector<PyType_Slot> slots;
        slots.push_back({Py_tp_base, &PyBaseObject_Type});
        if (spec.doc != nullptr && spec.doc[0] != '\0') {
            slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
        }
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
        if (spec.constructor != nullptr) {
            slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor)});
        }
        if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
        if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
        if (spec.get_buffer != nullptr) {
            slots.push_back({Py_bf_getbuffer, reinterpret_cast<void*>(spec.get_buffer)});
            slots.push_back({Py_bf_releasebuffer, reinterpret_cast<void*>(spec.release_buffer)});
        }
        slots.push_back({0, nullptr});

        unsigned int flags = Py_TPFLAGS_DEFAULT;
        if (spec.subclassable) flags |= Py_TPFLAGS_BASETYPE;
        if (spec.constructor == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
        PyType_Spec type_spec{qualified.c_str(), spec.basic_size, 0, flags, slots.data()};
        PyObject* type = PyType_FromSpec(&type_spec);
        if (type == nullptr) {
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s",
                         spec.name);
            PyObject* error = PyErr_GetRaisedException();
            PyException_SetCause(error, cause);
            PyErr_SetRaisedException(error);
            return false;
        }
        slot = reinterpret_cast<PyTypeObject*>(type);
        return true;
    });
    if (!ok) throw ErrorPending{};
    return slot;
}

namespace {

PyObject* interned(OnceFlag& once, PyObject*& slot, const char* text) {
    if (!call_once(once, [&slot, text] {
            slot = PyUnicode_InternFromString(text);
            return slot != nullptr;
        })) {
        throw ErrorPending{};
    }
    return slot;
}

}  // namespace

PyObject* interned_all() {
    static OnceFlag once;
    static PyObject* name = nullptr;
    return interned(once, name, "__all__");
}

PyObject* interned_name() {
    static OnceFlag once;
    static PyObject* name = nullptr;
    return interned(once, name, "__name__");
}

}  // namespace rainmill::py
