#include "frame_errors.hpp"

#include <atomic>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

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

// Sets `type` with the whole message (never cut at a NUL character); false,
// with MemoryError pending instead, when even the message could not be made.
bool set_error(PyObject* type, std::string_view message) noexcept {
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return false;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return true;
}

void raise_panic(std::string_view message) noexcept {
    // Created when the module was imported, so nothing needs creating here.
    PyObject* type = panic_exception_type_if_created();
    if (type == nullptr || !set_error(type, message)) abort_uncaught();
}

// A PanicException that comes back from Python code is not an ordinary error:
// announce it, print its traceback, and continue as a panic of our own.
void resume_panic_if_pending() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    // Whoever threw ErrorPending left an exception set: a frame that reports
    // an error without one is a bug, which the checked builds stop at here
    // (a release build turns it into a panic).
    assert(pending != nullptr && "ErrorPending thrown with no Python error set");
    if (pending == nullptr) {
        raise_panic("a Python error was expected but none was set");
        return;
    }
    // Before the class exists no panic can be pending; asking for it must not
    // create it here, where the stack or the memory may be exhausted.
    PyObject* panic_type = panic_exception_type_if_created();
    if (panic_type == nullptr ||
        !PyObject_TypeCheck(pending, reinterpret_cast<PyTypeObject*>(panic_type))) {
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
    raise_panic(message);
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    set_error(type, message);
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
    // Made from the type's own name object, so no name is cut or re-encoded.
    Ref expected_text = checked(
        PyUnicode_FromStringAndSize(expected.data(), static_cast<Py_ssize_t>(expected.size())));
    Ref message;
    if (object == Py_None) {
        message =
            checked(PyUnicode_FromFormat("'None' is not an instance of '%U'", expected_text.get()));
    } else {
        Ref qualname = checked(PyType_GetQualName(Py_TYPE(object)));
        message = checked(PyUnicode_FromFormat("'%U' object is not an instance of '%U'",
                                               qualname.get(), expected_text.get()));
    }
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw ErrorPending{};
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

namespace {

std::atomic<PyObject*> panic_type_slot{nullptr};

}  // namespace

PyObject* panic_exception_type() {
    static OnceFlag once;
    const bool created = call_once(once, [] {
        PyObject* type = PyErr_NewExceptionWithDoc("kiln_runtime.PanicException", kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) return false;
        panic_type_slot.store(type, std::memory_order_release);
        return true;
    });
    return created ? panic_type_slot.load(std::memory_order_acquire) : nullptr;
}

PyObject* panic_exception_type_if_created() noexcept {
    return panic_type_slot.load(std::memory_order_acquire);
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorPending&) {
        resume_panic_if_pending();
    } catch (const InvalidInput& error) {
        set_error(PyExc_ValueError, error.message());
    } catch (const InvalidCall& error) {
        set_error(PyExc_RuntimeError, error.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalFailure& error) {
        raise_panic(error.message());
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("a panic occurred in native code");
    }
    assert(PyErr_Occurred() != nullptr && "a failed call returns with no Python error set");
}

}  // namespace rainmill::py
