// A non-negative span of time as the library holds it: whole seconds plus
// nanoseconds, exactly as read from a datetime.timedelta.
#pragma once

#include <cstdint>
#include <limits>

namespace rainmill {

struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // 0 ..= 999'999'999

    // Seconds as a double: whole seconds, then the fraction added.
    [[nodiscard]] double as_seconds() const {
        return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9;
    }

    // Whole seconds as a signed 32-bit count: the fraction is dropped and the
    // value saturates at the largest 32-bit integer (about 68 years).
    [[nodiscard]] std::int32_t whole_seconds_saturated() const {
        const double total = as_seconds();
        constexpr double limit = static_cast<double>(std::numeric_limits<std::int32_t>::max());
        if (!(total < limit)) return std::numeric_limits<std::int32_t>::max();
        if (!(total > 0.0)) return 0;
        return static_cast<std::int32_t>(total);
    }
};

}  // namespace rainmill
