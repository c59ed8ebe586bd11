// Running a core computation inside a call: interruptible by signal handlers
// (Ctrl-C) and, when it is long, detached from the interpreter so that other
// Python threads run meanwhile. The computation works on private C++ values
// only, converted before and turned into Python objects after (or on the
// values of instances that nothing changes, read in place: Borrowed), so
// detaching changes no result, no message and no object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "frame_errors.hpp"
#include "utils/interrupt.hpp"

namespace rainmill::py {

// Work (WorkMeter units, about a nanosecond each) from which a computation
// runs detached. Below it, detaching and re-attaching would cost more than
// other threads could gain.
inline constexpr double kDetachWork = 1 << 17;

// The interrupt check of one computation. Signal handlers run only in the
// main thread, so elsewhere the check has nothing to ask and never attaches;
// in the main thread a detached computation re-attaches for the moment of
// PyErr_CheckSignals. A handler that raises leaves its exception pending and
// the thread attached, and the computation stops.
//
// Re-attaching waits while another thread runs Python code (up to the
// switch interval). When it had to wait, the detached check asks only at
// every second, fourth, ... meter check (at most every kMaxStride-th, some
// 50 ms of work apart), and comes back to every check once attaching is
// quick again: a busy Python thread neither stalls the computation nor
// delays Ctrl-C by more than a tenth of a second.
class SignalCheck final : public InterruptCheck {
public:
    explicit SignalCheck(bool detach);
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;
    ~SignalCheck() { attach(); }

    bool stop_requested() override;

private:
    void attach() noexcept {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
        saved_ = nullptr;
    }

    enum class Handlers { unknown, here, elsewhere };

    static constexpr int kMaxStride = 32;

    PyThreadState* saved_ = nullptr;  // set while detached
    bool detached_;
    int stride_ = 1;     // meter checks per signal check while detached
    int countdown_ = 1;  // meter checks left before the next signal check
    // Asked before detaching, or at the first check of an attached call (so
    // that short calls never ask).
    Handlers handlers_ = Handlers::unknown;
};

// Calls compute() with the running thread's signal check installed; detached
// when `work` (its estimate in WorkMeter units) reaches kDetachWork. Returns
// attached, whatever happens; a stop requested by a signal handler ends the
// call with the handler's exception.
template <class Compute>
auto run_computation(double work, Compute&& compute) -> decltype(compute()) {
    try {
        SignalCheck check(work >= kDetachWork);
        const ScopedInterruptCheck installed(check);
        return std::forward<Compute>(compute)();
    } catch (const Interrupted&) {
        throw ErrorPending{};
    }
}

}  // namespace rainmill::py
