#include "frame_convert.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "frame_buffer.hpp"

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
    Ref module =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
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

// Items up to this many are reserved for a sequence other than a list, a
// tuple or an array (8 MiB of doubles); beyond it the vector grows as needed.
constexpr Py_ssize_t kUncheckedReservation = Py_ssize_t{1} << 20;

// A failed reservation is not an error: the vector grows as items come, and
// runs out of memory only if the items really are there.
void reserve_at_most(std::vector<double>& values, Py_ssize_t count) {
    try {
        values.reserve(static_cast<std::size_t>(count));
    } catch (const std::exception&) {
    }
}

bool signal_check_due(Py_ssize_t index) {
    return (static_cast<std::size_t>(index) + 1) % kItemsPerSignalCheck == 0;
}

// A failing length query counts as zero, except an interrupt, an exit or a
// lack of memory (anything not an Exception, and MemoryError), which ends
// the call.
bool length_error_ends_the_call() {
    return PyErr_ExceptionMatches(PyExc_Exception) == 0 ||
           PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
}

// An exact list, read the way its iterator reads it: the size is re-read
// before every item that may run Python code, since that code may change the
// list. Floats and ints are copied under the list's lock, a run at a time:
// nothing run there changes the list, so its size and items are read once per
// run. Any other item is taken with a strong reference and converted with the
// lock given back, as its __float__ or __index__ may run Python code; so are
// pending signals checked, as a handler is Python code.
void read_list(PyObject* list, std::vector<double>& values) {
    reserve_at_most(values, PyList_GET_SIZE(list));
    constexpr auto kStride = static_cast<Py_ssize_t>(kItemsPerSignalCheck);
    Py_ssize_t index = 0;
    Py_ssize_t next_check = kStride;  // signals are checked once this many items are read
    for (;;) {
        Ref other;
        {
            const ObjectLock lock(list);
            PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
            const Py_ssize_t stop = std::min(PyList_GET_SIZE(list), next_check);
            for (; index < stop; ++index) {
                PyObject* item = items[index];
                if (PyFloat_CheckExact(item)) {
                    values.push_back(PyFloat_AS_DOUBLE(item));
                } else if (PyLong_CheckExact(item)) {
                    // What float() does with an int, without the float object.
                    const double value = PyLong_AsDouble(item);
                    if (value == -1.0 && PyErr_Occurred() != nullptr) throw ErrorPending{};
                    values.push_back(value);
                } else {
                    other = Ref::borrow(item);
                    break;
                }
            }
        }
        if (other) {
            values.push_back(read_item(other.get()));
            ++index;
        } else if (index < next_check) {
            return;  // the end of the list
        }
        if (index == next_check) {
            check_signals();
            next_check += kStride;
        }
    }
}

std::string describe_one(PyObject* exception) {
    std::string text = qualname_of(exception) + ": ";
    Ref str = Ref::steal(PyObject_Str(exception));
    Py_ssize_t size = 0;
    const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return text + "<exception str() failed>";
    }
    return text.append(utf8, static_cast<std::size_t>(size));
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
    std::vector<double> values;
    if (PyList_CheckExact(object)) {
        read_list(object, values);
        return values;
    }
    // A tuple cannot change: its items live as long as the caller's argument.
    if (PyTuple_CheckExact(object)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(object);
        reserve_at_most(values, size);
        for (Py_ssize_t i = 0; i < size; ++i) {
            values.push_back(read_item(PyTuple_GET_ITEM(object, i)));
            if (signal_check_due(i)) check_signals();
        }
        return values;
    }
    if (read_numeric_buffer(object, values)) return values;
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        if (length_error_ends_the_call()) throw ErrorPending{};
        length = 0;
        PyErr_Clear();
    }
    // Any other sequence's length is its own word (a lying __len__ must not
    // pin memory): reserve a bounded amount and grow as items come.
    reserve_at_most(values, std::min(length, kUncheckedReservation));
    Ref iterator = checked(PyObject_GetIter(object));
    for (Py_ssize_t i = 0;; ++i) {
        const Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) break;
        values.push_back(read_item(item.get()));
        if (signal_check_due(i)) check_signals();
    }
    if (PyErr_Occurred() != nullptr) throw ErrorPending{};
    // Fewer items than the length claimed: give back what the series would
    // otherwise keep reserved for its whole life.
    if (values.capacity() / 2 > values.size()) values.shrink_to_fit();
    return values;
}

DictionaryStep next_entry(PyObject* dict, Py_ssize_t& position) {
    const ObjectLock lock(dict);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    DictionaryStep step;
    if (PyDict_Next(dict, &position, &key, &value)) {
        step.key = Ref::borrow(key);
        step.value = Ref::borrow(value);
    }
    step.size_now = PyDict_GET_SIZE(dict);
    return step;
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
    Ref message =
        checked(PyUnicode_FromFormat("failed to extract field %s::%s.0", enum_name, variant_name));
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
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        check(PyFloat_FromDouble(values[i])));
    }
    return list.release();
}

}  // namespace rainmill::py
