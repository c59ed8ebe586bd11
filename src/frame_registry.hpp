// Process-wide state of the module: once-only creation guarded against other
// threads, the instance layout of every class, and the borrow flag.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "frame_errors.hpp"

namespace rainmill::py {

// Guards a creation that happens at most once per process. A thread that finds
// another one in the middle of it waits detached from the interpreter
// (PyMutex_Lock detaches while it blocks), so the creating thread, which may
// need the interpreter, is never blocked by it.
struct OnceFlag {
    PyMutex mutex{};
    std::atomic<bool> done{false};
    std::atomic<std::thread::id> creator{};
};

// Runs `create` (returning true on success, false with a Python error set)
// unless it already succeeded. A failed creation is retried by the next caller.
template <class Create>
bool call_once(OnceFlag& flag, Create&& create) {
    if (flag.done.load(std::memory_order_acquire)) return true;
    if (flag.creator.load() == std::this_thread::get_id()) {
        PyErr_SetString(PyExc_RuntimeError, "re-entrant initialization of a rainmill type");
        return false;
    }
    PyMutex_Lock(&flag.mutex);
    bool ok = true;
    if (!flag.done.load(std::memory_order_relaxed)) {
        flag.creator.store(std::this_thread::get_id());
        ok = create();
        flag.creator.store(std::thread::id{});
        if (ok) flag.done.store(true, std::memory_order_release);
    }
    PyMutex_Unlock(&flag.mutex);
    return ok;
}

// Shared readers and an exclusive writer of one instance. Under the
// interpreter lock a conflict can only come from re-entrant access; without
// it (a free-threaded interpreter) two threads can meet here too, so the
// state changes atomically: they see a conflict, never a torn count.
class BorrowFlag {
public:
    void acquire_shared() {
        std::int64_t seen = state_.load(std::memory_order_relaxed);
        do {
            if (seen < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    void acquire_exclusive() {
        std::int64_t expected = 0;
        if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::int64_t> state_{0};  // > 0 readers, -1 writer
};

// The layout of every instance: the object header, the borrow flag, then the
// core value. The value is constructed only after the allocation succeeded.
template <class T>
struct Instance {
    PyObject base;
    BorrowFlag borrow;
    T value;
};

template <class T>
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* object) : instance_(reinterpret_cast<Instance<T>*>(object)) {
        instance_->borrow.acquire_shared();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { instance_->borrow.release_shared(); }
    const T& value() const { return instance_->value; }

private:
    Instance<T>* instance_;
};

template <class T>
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* object) : instance_(reinterpret_cast<Instance<T>*>(object)) {
        instance_->borrow.acquire_exclusive();
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { instance_->borrow.release_exclusive(); }
    T& value() const { return instance_->value; }

private:
    Instance<T>* instance_;
};

// Everything needed to create one class's type object.
struct ClassSpec {
    const char* name;  // bare class name; the type is "builtins.<name>"
    const char* doc;   // full docstring, or nullptr
    int basic_size;
    bool subclassable;
    newfunc constructor;  // nullptr: the class cannot be instantiated from Python
    destructor dealloc;
    PyGetSetDef* getset;                 // or nullptr
    PyMethodDef* methods;                // or nullptr
    getbufferproc get_buffer = nullptr;  // a read-only view of the values, or nullptr
    releasebufferproc release_buffer = nullptr;
};

// Creates the type object on first demand and keeps it for the life of the
// process. Returns a borrowed reference; throws ErrorPending on failure
// (RuntimeError "An error occurred while initializing class {name}").
PyTypeObject* type_object(const ClassSpec& spec, OnceFlag& once, PyTypeObject*& slot);

template <class T>
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Instance<T>*>(self)->value);
    type->tp_free(self);
    Py_DECREF(type);
}

// Allocates an instance of `type` (the class or a Python subclass) holding
// `value`. Nothing can fail after the allocation.
template <class T>
PyObject* new_instance(PyTypeObject* type, T value) {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    PyObject* object = check(type->tp_alloc(type, 0));
    auto* instance = reinterpret_cast<Instance<T>*>(object);
    new (&instance->borrow) BorrowFlag();
    new (&instance->value) T(std::move(value));
    return object;
}

// Interned attribute names, created once per process.
PyObject* interned_all();
PyObject* interned_name();

}  // namespace rainmill::py
