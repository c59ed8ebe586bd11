// Errors at the Python boundary: the pending-error exception, frame-made
// errors, the wrapping of conversion errors, the panic exception and the guard
// that is the only way out of every call.
#pragma once

#include <Python.h>

#include <string>

#include "pyref.hpp"

namespace rainmill::py {

// Thrown right after a failing C API call or a frame-made error: a Python
// exception is pending and travels up to the guard unchanged.
struct ErrorPending {};

// Throws ErrorPending when `result` is null, otherwise returns it.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw ErrorPending{};
    return result;
}
// Adopts a new reference, throwing ErrorPending when the call failed.
inline Ref checked(PyObject* new_reference) { return Ref::steal(check(new_reference)); }
inline void check_status(int status) {
    if (status < 0) throw ErrorPending{};
}

[[noreturn]] void raise(PyObject* type, const std::string& message);

// The cast error: "'{type}' object is not an instance of '{expected}'", or
// "'None' is not an instance of '{expected}'".
[[noreturn]] void raise_cast_error(PyObject* object, const std::string& expected);

// __qualname__ of a type, or of the type of an object.
std::string type_qualname(PyTypeObject* type);
inline std::string qualname_of(PyObject* object) { return type_qualname(Py_TYPE(object)); }

// Called inside `catch (ErrorPending&)` of a parameter's conversion: an exact
// TypeError becomes "argument '{name}': {message}" keeping the first error's
// __cause__; every other exception passes through unchanged.
[[noreturn]] void rethrow_as_argument_error(const char* name);

// The process-wide PanicException class, created by the first call (each
// module's exec step makes it); nullptr with the error set if that failed.
PyObject* panic_exception_type();
// The class if it was created already, else nullptr; never creates it.
PyObject* panic_exception_type_if_created() noexcept;

// Sets the Python exception for the C++ exception being handled; call only
// from a catch block. Never throws; aborts if even the panic cannot be raised.
void set_python_error_from_current_exception() noexcept;

template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

template <class Body>
int guard_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

}  // namespace rainmill::py
