#include "frame_convert.hpp"

#include <limits>
#include <new>

namespace rainmill::py {

namespace {

[[noreturn]] void integer_out_of_range() {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// Reads one item of a float vector; the item is a new or borrowed-and-held
// reference for the duration of the call.
double read_item(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    return Arg<double>::from(item);
}

bool is_numpy_bool(PyTypeObject* type) {
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

std::string describe_one(PyObject* exception) {
    std::string text = qualname_of(exception) + ": ";
    Ref str = Ref::steal(PyObject_Str(exception));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return text + "<exception str() failed>";
    }
    return text + utf8;
}

}  // namespace

std::size_t Arg<std::size_t>::from(PyObject* object) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = checked(PyNumber_Index(object));
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        throw ErrorPending{};
    }
    if (value > std::numeric_limits<std::size_t>::max()) integer_out_of_range();
    return static_cast<std::size_t>(value);
}

std::int64_t Arg<std::int64_t>::from(PyObject* object) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) throw ErrorPending{};
    return static_cast<std::int64_t>(value);
}

std::int32_t Arg<std::int32_t>::from(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) throw ErrorPending{};
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        integer_out_of_range();
    }
    return static_cast<std::int32_t>(value);
}

bool Arg<bool>::from_other(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool(type)) raise_cast_error(object, "bool");
    Ref method = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorPending{};
        PyErr_Clear();
        raise(PyExc_AttributeError, "object of type '" + type_qualname(type) +
                                        "' does not define a '__bool__' conversion");
    }
    Ref result = checked(PyObject_CallOneArg(method.get(), object));
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    raise_cast_error(result.get(), "bool");
}

std::string Arg<std::string>::from(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_cast_error(object, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) throw ErrorPending{};
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::vector<double> Arg<std::vector<double>>::from(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_cast_error(object, "Sequence");
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();
        length = 0;
    }
    std::vector<double> values;
    try {
        values.reserve(static_cast<std::size_t>(length));
    } catch (const std::exception&) {
        // A length too large to reserve (a lying __len__): grow as items come.
    }
    if (PyList_CheckExact(object)) {
        // Same visiting rule as the list iterator: the size is re-read after
        // every item, since an item's __float__ may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            PyObject* item = PyList_GET_ITEM(object, i);
            if (PyFloat_CheckExact(item)) {
                values.push_back(PyFloat_AS_DOUBLE(item));
            } else {
                const Ref held = Ref::borrow(item);
                values.push_back(read_item(held.get()));
            }
        }
        return values;
    }
    if (PyTuple_CheckExact(object)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(object);
        for (Py_ssize_t i = 0; i < size; ++i) values.push_back(read_item(PyTuple_GET_ITEM(object, i)));
        return values;
    }
    Ref iterator = checked(PyObject_GetIter(object));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        values.push_back(read_item(item.get()));
    }
    if (PyErr_Occurred() != nullptr) throw ErrorPending{};
    return values;
}

void dictionary_changed_size() {
    throw InternalFailure("dictionary changed size during iteration");
}

void dictionary_keys_changed() {
    throw InternalFailure("dictionary keys changed during iteration");
}

std::string describe_exception_chain(PyObject* exception) {
    std::string text = describe_one(exception);
    Ref cause = Ref::steal(PyException_GetCause(exception));
    while (cause) {
        text += ", caused by " + describe_one(cause.get());
        cause = Ref::steal(PyException_GetCause(cause.get()));
    }
    return text;
}

Ref field_extraction_error(const char* enum_name, const char* variant_name) {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref message = checked(PyUnicode_FromFormat("failed to extract field %s::%s.0", enum_name,
                                               variant_name));
    Ref error = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(error.get(), cause.release());
    return error;
}

void raise_enum_error(const char* enum_name, const char* const* variant_names, const Ref* errors,
                      std::size_t count) {
    std::string message = std::string("failed to extract enum ") + enum_name + " ('";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) message += " | ";
        message += variant_names[i];
    }
    message += "')";
    for (std::size_t i = 0; i < count; ++i) {
        message += std::string("\n- variant ") + variant_names[i] + " (" + variant_names[i] +
                   "): " + describe_exception_chain(errors[i].get());
    }
    raise(PyExc_TypeError, message);
}

PyObject* to_python(const std::string& value) {
    return check(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

PyObject* to_python(const std::vector<double>& values) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(values[i])));
    }
    return list.release();
}

}  // namespace rainmill::py
