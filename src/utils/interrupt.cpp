#include "utils/interrupt.hpp"

namespace rainmill {

namespace {

thread_local InterruptCheck* installed_check = nullptr;

}  // namespace

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck& check) noexcept
    : previous_(installed_check) {
    installed_check = &check;
}

ScopedInterruptCheck::~ScopedInterruptCheck() { installed_check = previous_; }

void check_interrupt() {
    InterruptCheck* check = installed_check;
    if (check != nullptr && check->stop_requested()) throw Interrupted();
}

}  // namespace rainmill
