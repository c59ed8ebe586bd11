#include "frame_errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "frame_registry.hpp"
#include "utils/errors.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

[[noreturn]] void abort_uncaught() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    PyObject* text = PyUnicode_FromString(message);
    if (text == nullptr) abort_uncaught();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// A PanicException that comes back from Python code is not an ordinary error:
// announce it, print its traceback, and continue as a panic of our own.
void resume_panic_if_pending() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    if (pending == nullptr) {
        raise_panic("a Python error was expected but none was set");
        return;
    }
    if (!PyObject_TypeCheck(pending, reinterpret_cast<PyTypeObject*>(panic_exception_type()))) {
        PyErr_SetRaisedException(pending);
        return;
    }
    std::string message = "Unwrapped panic from Python code";
    if (PyObject* text = PyObject_Str(pending)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
            message.assign(utf8, static_cast<std::size_t>(size));
        }
        Py_DECREF(text);
    }
    PyErr_Clear();
    // Through sys.stderr, like the traceback that follows.
    PySys_WriteStderr(
        "--- rainmill is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n");
    PyErr_SetRaisedException(pending);
    PyErr_PrintEx(0);
    raise_panic(message.c_str());
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorPending{};
}

std::string type_qualname(PyTypeObject* type) {
    Ref name = checked(PyType_GetQualName(type));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) throw ErrorPending{};
    return std::string(utf8, static_cast<std::size_t>(size));
}

void raise_cast_error(PyObject* object, const std::string& expected) {
    std::string message;
    if (object == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        message = "'";
        message += qualname_of(object);
        message += "' object is not an instance of '";
    }
    message += expected;
    message += '\'';
    raise(PyExc_TypeError, message);
}

void rethrow_as_argument_error(const char* name) {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) throw ErrorPending{};
    if (Py_TYPE(error) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error);
        throw ErrorPending{};
    }
    Ref first = Ref::steal(error);
    Ref text = checked(PyObject_Str(first.get()));
    Ref message = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref wrapped = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // PyException_SetCause steals its argument; the cause may be absent.
    PyException_SetCause(wrapped.get(), PyException_GetCause(first.get()));
    PyErr_SetRaisedException(wrapped.release());
    throw ErrorPending{};
}

PyObject* panic_exception_type() {
    static OnceFlag once;
    static PyObject* type = nullptr;
    call_once(once, [] {
        type = PyErr_NewExceptionWithDoc("kiln_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) {
            PyErr_Print();
            std::fputs("Failed to initialize new exception type.\n", stderr);
            std::abort();
        }
        return true;
    });
    return type;
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorPending&) {
        resume_panic_if_pending();
    } catch (const InvalidInput& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const InvalidCall& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("a panic occurred in native code");
    }
}

}  // namespace rainmill::py
