// Stopping a long computation from outside. The core knows nothing of who
// asks: a caller installs an InterruptCheck for the running thread, and every
// long loop counts its work on a WorkMeter, which consults the check every
// couple of milliseconds of work. A computation that is told to stop throws
// Interrupted; its vectors are freed as the exception unwinds, and no partial
// result is ever returned.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace rainmill {

// The computation was told to stop; the reason is the caller's (who installed
// the check), not part of the exception.
class Interrupted final : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override {
        return "the computation was interrupted";
    }
};

// The caller's answer to "should the computation stop now?".
class InterruptCheck {
public:
    InterruptCheck() = default;
    InterruptCheck(const InterruptCheck&) = delete;
    InterruptCheck& operator=(const InterruptCheck&) = delete;
    virtual bool stop_requested() = 0;

protected:
    ~InterruptCheck() = default;
};

// Installs a check for the running thread for the lifetime of this object
// (restoring the previous one after it).
class ScopedInterruptCheck {
public:
    explicit ScopedInterruptCheck(InterruptCheck& check) noexcept;
    ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
    ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;
    ~ScopedInterruptCheck();

private:
    InterruptCheck* previous_;
};

// Throws Interrupted when the running thread's check asks to stop; without a
// check installed it never does.
void check_interrupt();

// Work counted in units of roughly a nanosecond of arithmetic (one
// multiply-add in a dependent chain is about three). The installed check is
// consulted whenever kUnitsPerCheck units have been counted, so a stop
// request is seen within a few milliseconds, at a cost far below 1 %.
class WorkMeter {
public:
    static constexpr std::int64_t kUnitsPerCheck = std::int64_t{1} << 21;

    void add(std::int64_t units) {
        left_ -= units;
        if (left_ <= 0) [[unlikely]] {
            left_ = kUnitsPerCheck;
            check_interrupt();
        }
    }

    // Runs body(first, last) over [begin, end) in pieces of items costing
    // `units_per_item` each, checking between pieces: the loops inside stay
    // free of any test.
    template <class Body>
    void in_pieces(std::size_t begin, std::size_t end, std::int64_t units_per_item, Body&& body) {
        const std::int64_t cost = std::clamp<std::int64_t>(units_per_item, 1, kLargestItem);
        // Short work in one piece, without a division (the common case).
        if (begin < end && end - begin <= static_cast<std::size_t>(kUnitsPerCheck) &&
            static_cast<std::int64_t>(end - begin) * cost < left_) {
            body(begin, end);
            left_ -= static_cast<std::int64_t>(end - begin) * cost;
            return;
        }
        while (begin < end) {
            const auto affordable =
                static_cast<std::size_t>(std::max<std::int64_t>(left_ / cost, 1));
            const std::size_t last = end - begin > affordable ? begin + affordable : end;
            body(begin, last);
            add(static_cast<std::int64_t>(last - begin) * cost);
            begin = last;
        }
    }

private:
    // Items dearer than this count as this much, so no count overflows.
    static constexpr std::int64_t kLargestItem = std::int64_t{1} << 40;

    std::int64_t left_ = kUnitsPerCheck;
};

}  // namespace rainmill
