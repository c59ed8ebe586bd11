#include "baseflow/recession.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

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
    for (const double value : direct) {
        if (!std::isfinite(value)) throw InvalidInput("direct runoff must be finite");
    }
    const std::size_t n = direct.size();
    std::vector<double> baseflow(n);
    const double factor = std::pow(recession_constant, step_hours / 24.0);
    const double* const runoff = direct.data();
    double* const out = baseflow.data();
    double base = initial_flow;
    double recession = 0.0;
    double peak = 0.0;
    double previous = 0.0;
    bool receding = false;
    WorkMeter meter;
    meter.in_pieces(0, n, 6, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            if (i > 0) {
                base *= factor;
                if (receding) recession *= factor;
            }
            const double plain = runoff[i] + base;
            double total = plain;
            if (receding) {
                if (plain > recession) {
                    receding = false;
                    peak = plain;
                } else {
                    total = recession;
                }
            }
            if (!receding) {
                if (total > peak) peak = total;
                const double limit = threshold_is_ratio ? threshold * peak : threshold;
                if (i > 0 && total < previous && total <= limit && peak > limit) {
                    receding = true;
                    recession = total;
                }
            }
            out[i] = total - runoff[i];
            previous = total;
        }
    });
    return baseflow;
}

}  // namespace rainmill
