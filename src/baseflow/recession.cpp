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

// Points [first, last) of the recession, the state passed by value so that it
// lives in registers (in a closure it would travel through memory each step).
[[gnu::noinline]] RecessionState recede(RecessionState s, const double* runoff, double* out,
                                        std::size_t first, std::size_t last, double factor,
                                        double threshold, bool is_ratio) {
    for (std::size_t i = first; i < last; ++i) {
        if (i > 0) {
            s.base *= factor;
            if (s.receding) s.recession *= factor;
        }
        const double plain = runoff[i] + s.base;
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
            const double limit = is_ratio ? threshold * s.peak : threshold;
            // Combined without short cuts: one rarely taken branch, however noisy the flow.
            if ((i > 0) & (total < s.previous) & (total <= limit) & (s.peak > limit)) {
                s.receding = true;
                s.recession = total;
            }
        }
        out[i] = total - runoff[i];
        s.previous = total;
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
        state = recede(state, runoff, out, first, last, factor, threshold, threshold_is_ratio);
    });
    return baseflow;
}

}  // namespace rainmill
