// Conversions between Python objects and the core's values. A parameter's C++
// type chooses its converter (Arg<T>); a result's C++ type chooses how it
// goes back to Python (to_python). Every converter throws ErrorPending with
// the Python error set.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "frame_classes.hpp"
#include "frame_datetime.hpp"
#include "frame_errors.hpp"
#include "frame_registry.hpp"
#include "pyref.hpp"
#include "utils/duration.hpp"
#include "utils/errors.hpp"
#include "utils/named.hpp"

namespace rainmill::py {

// A datetime.timedelta argument: its type is checked when the arguments are
// converted; its value becomes a Duration only when the computation asks, so a
// negative timedelta is reported at the step where the computation reads it.
class TimedeltaArg {
public:
    explicit TimedeltaArg(PyObject* object) : object_(object) {}
    [[nodiscard]] Duration to_duration() const { return timedelta_to_duration(object_); }

private:
    PyObject* object_;  // borrowed: the caller's argument outlives the call
};

// A parameter whose omission means a default other than None; when given, None
// included, it is converted as T.
template <class T, T Default>
struct WithDefault {
    T value = Default;
};

// A timedelta result of whole seconds.
struct TimedeltaSeconds {
    std::int64_t seconds;
};

// Names used in the failure text of an enumeration argument: specialise for a
// std::variant with `static constexpr const char* name` and
// `static constexpr std::array<const char*, N> alternatives`.
template <class Variant>
struct EnumNames;

template <class T>
struct Arg;

template <>
struct Arg<double> {
    static double from(PyObject* object) {
        if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred() != nullptr) throw ErrorPending{};
        return value;
    }
};

template <>
struct Arg<std::size_t> {
    static std::size_t from(PyObject* object);
};

template <>
struct Arg<std::int64_t> {
    static std::int64_t from(PyObject* object);
};

template <>
struct Arg<std::int32_t> {
    static std::int32_t from(PyObject* object);
};

template <>
struct Arg<bool> {
    static bool from(PyObject* object) {
        if (object == Py_True) return true;
        if (object == Py_False) return false;
        return from_other(object);
    }
    static bool from_other(PyObject* object);
};

template <>
struct Arg<std::string> {
    static std::string from(PyObject* object);
};

template <>
struct Arg<std::vector<double>> {
    static std::vector<double> from(PyObject* object);
};

template <>
struct Arg<TimedeltaArg> {
    static TimedeltaArg from(PyObject* object) {
        if (!is_timedelta(object)) raise_cast_error(object, "timedelta");
        return TimedeltaArg(object);
    }
};

template <class T>
struct Arg<std::optional<T>> {
    static std::optional<T> from(PyObject* object) {
        if (object == nullptr || object == Py_None) return std::nullopt;
        return Arg<T>::from(object);
    }
};

template <class T, T Default>
struct Arg<WithDefault<T, Default>> {
    static WithDefault<T, Default> from(PyObject* object) {
        if (object == nullptr) return {};
        return {Arg<T>::from(object)};
    }
};

// Raises the cast error unless `object` is an instance of the exposed class T
// (or of a Python subclass).
template <class T>
void check_instance(PyObject* object) {
    PyTypeObject* type = ClassBinding<T>::type();
    if (!PyObject_TypeCheck(object, type)) raise_cast_error(object, type_qualname(type));
}

// An instance of an exposed class: a private copy of its value, read under a
// shared borrow.
template <class T>
    requires ClassBinding<T>::bound
struct Arg<T> {
    static T from(PyObject* object) {
        check_instance<T>(object);
        const SharedBorrow<T> borrow(object);
        return borrow.value();
    }
};

// An instance of an exposed class read in place, under a shared borrow held
// until the call returns: no private copy. Only for classes whose value
// nothing changes once made (the series), where the copy of Arg<T> would be
// pure cost: a call on 10^6 values spent a tenth of its time copying its
// input. The caller's reference keeps the instance alive for the call.
template <class T>
class Borrowed {
public:
    explicit Borrowed(PyObject* object) : instance_(reinterpret_cast<Instance<T>*>(object)) {
        instance_->borrow.acquire_shared();
    }
    Borrowed(Borrowed&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    Borrowed& operator=(Borrowed&&) = delete;
    ~Borrowed() {
        if (instance_ != nullptr) instance_->borrow.release_shared();
    }
    const T& operator*() const noexcept { return instance_->value; }
    const T* operator->() const noexcept { return &instance_->value; }

private:
    Instance<T>* instance_;
};

template <class T>
    requires ClassBinding<T>::bound
struct Arg<Borrowed<T>> {
    static Borrowed<T> from(PyObject* object) {
        check_instance<T>(object);
        return Borrowed<T>(object);
    }
};

// Holds an object's own lock for a scope on a free-threaded interpreter, so
// that no other thread changes the object meanwhile; with the interpreter
// lock it is nothing (that lock already keeps other threads out). Only code
// that runs no Python code and waits for nothing may run while it is held:
// a thread that waits gives the lock up until it runs again.
class ObjectLock {
public:
    explicit ObjectLock(PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, object);
#else
        static_cast<void>(object);
#endif
    }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;
    ~ObjectLock() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// Keeps a dictionary's entries in the order the dictionary visits them.
[[noreturn]] void dictionary_changed_size();
[[noreturn]] void dictionary_keys_changed();

// One step of a dictionary's visit under its lock: the next entry, held by
// strong references (converting it may run Python code, or another thread
// may change the dictionary, once the lock is given back), and the size the
// dictionary has at that moment.
struct DictionaryStep {
    Ref key;
    Ref value;
    Py_ssize_t size_now;
};
DictionaryStep next_entry(PyObject* dict, Py_ssize_t& position);

template <class T>
struct Arg<NamedList<T>> {
    static NamedList<T> from(PyObject* object) {
        if (!PyDict_Check(object)) raise_cast_error(object, "dict");
        const Py_ssize_t size = PyDict_GET_SIZE(object);
        NamedList<T> entries;
        entries.reserve(static_cast<std::size_t>(size));
        Py_ssize_t position = 0;
        Py_ssize_t remaining = size;
        for (;;) {
            const DictionaryStep step = next_entry(object, position);
            if (step.size_now != size) dictionary_changed_size();
            if (!step.key) break;
            if (remaining == 0) dictionary_keys_changed();
            --remaining;
            std::string name = Arg<std::string>::from(step.key.get());
            entries.emplace_back(std::move(name), Arg<T>::from(step.value.get()));
        }
        return entries;
    }
};

// "{exception qualname}: {str}" for an exception and each link of its cause chain.
std::string describe_exception_chain(PyObject* exception);

// Makes the TypeError "failed to extract field {enum}::{variant}.0" with the
// pending error as its cause, and takes it out of the pending state.
Ref field_extraction_error(const char* enum_name, const char* variant_name);

// The TypeError for an enumeration whose alternatives all failed.
[[noreturn]] void raise_enum_error(const char* enum_name, const char* const* variant_names,
                                   const Ref* errors, std::size_t count);

// The first alternative, in the variant's order, that converts wins.
template <class... Ts>
struct Arg<std::variant<Ts...>> {
    using Variant = std::variant<Ts...>;
    using Names = EnumNames<Variant>;

    static Variant from(PyObject* object) {
        std::array<Ref, sizeof...(Ts)> errors;
        std::optional<Variant> result;
        try_from<0>(object, errors, result);
        if (!result) {
            raise_enum_error(Names::name, Names::alternatives.data(), errors.data(), sizeof...(Ts));
        }
        return std::move(*result);
    }

private:
    template <std::size_t I>
    static void try_from(PyObject* object, std::array<Ref, sizeof...(Ts)>& errors,
                         std::optional<Variant>& result) {
        if constexpr (I < sizeof...(Ts)) {
            using Alternative = std::variant_alternative_t<I, Variant>;
            try {
                result.emplace(std::in_place_index<I>, Arg<Alternative>::from(object));
                return;
            } catch (const ErrorPending&) {
                errors[I] = field_extraction_error(Names::name, Names::alternatives[I]);
            }
            try_from<I + 1>(object, errors, result);
        }
    }
};

// ---- results --------------------------------------------------------------

inline PyObject* to_python(double value) { return check(PyFloat_FromDouble(value)); }
inline PyObject* to_python(bool value) { return check(PyBool_FromLong(value ? 1 : 0)); }
inline PyObject* to_python(std::int64_t value) { return check(PyLong_FromLongLong(value)); }
inline PyObject* to_python(std::int32_t value) { return check(PyLong_FromLong(value)); }
inline PyObject* to_python(std::size_t value) { return check(PyLong_FromSize_t(value)); }
inline PyObject* to_python(const TimedeltaSeconds& value) { return new_timedelta(value.seconds); }
inline PyObject* to_python(Ref value) { return check(value.release()); }
PyObject* to_python(const std::string& value);
PyObject* to_python(const std::vector<double>& values);

template <class T>
    requires ClassBinding<std::decay_t<T>>::bound
PyObject* to_python(T&& value) {
    using Core = std::decay_t<T>;
    // Copy (or move) the value before allocating: nothing may fail afterwards.
    Core owned(std::forward<T>(value));
    return new_instance(ClassBinding<Core>::type(), std::move(owned));
}

template <class T>
PyObject* to_python(const std::optional<T>& value) {
    if (!value) return Py_NewRef(Py_None);
    return to_python(*value);
}

template <class T>
PyObject* to_python(const NamedList<T>& entries) {
    Ref dict = checked(PyDict_New());
    for (const auto& [name, value] : entries) {
        Ref key =
            checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        Ref item = Ref::steal(to_python(value));
        check_status(PyDict_SetItem(dict.get(), key.get(), item.get()));
    }
    return dict.release();
}

template <class... Ts>
PyObject* to_python(const std::tuple<Ts...>& members) {
    Ref tuple = checked(PyTuple_New(sizeof...(Ts)));
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (PyTuple_SET_ITEM(tuple.get(), I, to_python(std::get<I>(members))), ...);
    }(std::index_sequence_for<Ts...>{});
    return tuple.release();
}

}  // namespace rainmill::py
