#include "baseflow/recession.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

struct RecessionState {
    double base;
    double recession;
    double peak;
    double previous;
    bool receding;
};

// One point of the recession, after the factor has been applied.
template <bool IsRatio>
inline double recession_point(RecessionState& s, double runoff, double threshold, bool later) {
    const double plain = runoff + s.base;
    double total = plain;
    if (s.receding) {
        if (plain > s.recession) {
            s.receding = false;
            s.peak = plain;
        } else {
            total = s.recession;
        }
    }
    if (!s.receding) {
        s.peak = total > s.peak ? total : s.peak;
        const double limit = IsRatio ? threshold * s.peak : threshold;
        // Combined without short cuts: one rarely taken branch, however noisy the flow.
        if (later & (total < s.previous) & (total <= limit) & (s.peak > limit)) {
            s.receding = true;
            s.recession = total;
        }
    }
    s.previous = total;
    return total - runoff;
}

// Points [first, last) of the recession, the state passed by value so that it
// lives in registers (in a closure it would travel through memory each step).
// The first point takes no factor; the ratio's choice is made once, outside.
template <bool IsRatio>
[[gnu::noinline]] RecessionState recede(RecessionState s, const double* runoff, double* out,
                                        std::size_t first, std::size_t last, double factor,
                                        double threshold) {
    std::size_t i = first;
    if (i == 0 && i < last) {
        out[0] = recession_point<IsRatio>(s, runoff[0], threshold, false);
        ++i;
    }
    for (; i < last; ++i) {
        s.base *= factor;
        if (s.receding) s.recession *= factor;
        out[i] = recession_point<IsRatio>(s, runoff[i], threshold, true);
    }
    return s;
}

}  // namespace

std::vector<double> recession_baseflow(const std::vector<double>& direct, double initial_flow,
                                       double recession_constant, double threshold,
                                       bool threshold_is_ratio, double step_hours) {
    require_non_negative("initial_flow", initial_flow);
    if (!(0.0 < recession_constant && recession_constant <= 1.0)) {
        throw InvalidInput("recession_constant must lie in (0, 1], got " +
                           format_number(recession_constant));
    }
    if (threshold_is_ratio) {
        require_fraction("threshold_ratio", threshold);
    } else {
        require_non_negative("threshold_flow", threshold);
    }
    require_positive("step_hours", step_hours);
    require_depths("direct", direct);
    const std::size_t n = direct.size();
    std::vector<double> baseflow(n);
    const double factor = std::pow(recession_constant, step_hours / 24.0);
    const double* const runoff = direct.data();
    double* const out = baseflow.data();
    RecessionState state{initial_flow, 0.0, 0.0, 0.0, false};
    WorkMeter meter;
    meter.in_pieces(0, n, 6, [&](std::size_t first, std::size_t last) {
        state = threshold_is_ratio
                    ? recede<true>(state, runoff, out, first, last, factor, threshold)
                    : recede<false>(state, runoff, out, first, last, factor, threshold);
    });
    return baseflow;
}

}  // namespace rainmill
