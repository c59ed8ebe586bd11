#include "reach_routing/lag.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "utils/checks.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

std::vector<double> route_lag(const std::vector<double>& inflow, double lag_hours,
                              double step_hours) {
    require_non_negative("lag", lag_hours);
    require_positive("step_hours", step_hours);
    require_depths("inflow", inflow);
    const std::size_t n = inflow.size();
    std::vector<double> outflow(n);
    if (n == 0) return outflow;
    const double steps = lag_hours / step_hours;
    const double whole = std::floor(steps);
    const double fraction = steps - whole;
    // A lag longer than the series leaves the first inflow everywhere.
    const std::size_t shift = whole >= static_cast<double>(n) ? n : static_cast<std::size_t>(whole);
    const double* const in = inflow.data();
    double* const out = outflow.data();
    const double first = in[0];
    const double keep = 1.0 - fraction;
    WorkMeter meter;
    meter.in_pieces(0, n, 2, [&](std::size_t begin, std::size_t end) {
        // Steps up to the shift read the first inflow; after it the loop has no branch, so the
        // compiler vectorises it (the same two products and one sum per step, in that order).
        std::size_t i = begin;
        for (; i < end && i <= shift; ++i) {
            const double now = i >= shift ? in[i - shift] : first;
            out[i] = fraction == 0.0 ? now : keep * now + fraction * first;
        }
        if (i >= end) return;
        const double* const now = in + (i - shift);
        const double* const before = now - 1;  // i > shift: in[i - shift - 1] exists
        double* const to = out + i;
        const std::size_t count = end - i;
        if (fraction == 0.0) {
            std::copy_n(now, count, to);
        } else {
            for (std::size_t j = 0; j < count; ++j) to[j] = keep * now[j] + fraction * before[j];
        }
    });
    return outflow;
}

}  // namespace rainmill
