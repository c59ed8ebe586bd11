#include "frame_detach.hpp"

#include <algorithm>
#include <chrono>

#include "pyref.hpp"

namespace rainmill::py {

namespace {

// True when the running thread is the interpreter's main thread, the only
// one whose PyErr_CheckSignals runs handlers. When the answer cannot be had,
// the thread is treated as the main one: checking too often is only slower.
bool runs_signal_handlers() {
    const Ref thread_module = Ref::steal(PyImport_ImportModule("_thread"));
    Ref ident;
    if (thread_module) {
        ident =
            Ref::steal(PyObject_CallMethod(thread_module.get(), "_get_main_thread_ident", nullptr));
    }
    if (!ident) {
        PyErr_Clear();
        return true;
    }
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return true;
    }
    return main_ident == PyThread_get_thread_ident();
}

}  // namespace

SignalCheck::SignalCheck(bool detach) : detached_(detach) {
    if (detached_) {
        handlers_ = runs_signal_handlers() ? Handlers::here : Handlers::elsewhere;
        saved_ = PyEval_SaveThread();
    }
}

bool SignalCheck::stop_requested() {
    if (handlers_ == Handlers::unknown) {
        handlers_ = runs_signal_handlers() ? Handlers::here : Handlers::elsewhere;
    }
    if (handlers_ == Handlers::elsewhere) return false;
    if (!detached_) return PyErr_CheckSignals() < 0;
    if (--countdown_ > 0) return false;
    const auto asked = std::chrono::steady_clock::now();
    attach();
    const bool waited = std::chrono::steady_clock::now() - asked > std::chrono::milliseconds(1);
    stride_ = waited ? std::min(2 * stride_, kMaxStride) : std::max(stride_ / 2, 1);
    countdown_ = stride_;
    if (PyErr_CheckSignals() < 0) return true;  // stays attached, the exception pending
    saved_ = PyEval_SaveThread();
    return false;
}

}  // namespace rainmill::py
