#include "rainfall_loss/deficit_and_constant.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace rainmill {

namespace {

// Minimum and maximum that ignore a NaN operand (returning the other one);
// on a tie the first operand is returned.
double min_ignoring_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

double max_ignoring_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}

IncrementalTimeSeries empty_rainfall_series(std::int32_t time_step, std::size_t capacity) {
    IncrementalTimeSeries series;
    series.kind = "rainfall";
    series.time_step = time_step;
    series.data.reserve(capacity);
    return series;
}

}  // namespace

DeficitConstantResult run_deficit_and_constant(const IncrementalTimeSeries& rainfall,
                                               double initial_deficit, double max_deficit,
                                               double constant_loss_per_hr, Duration time_to_dry) {
    const double drying_seconds = time_to_dry.as_seconds();
    const double step_hours = static_cast<double>(rainfall.time_step) / 3600.0;
    // Fraction of the remaining gap that recovers in one step,
    // 1 - exp(-dt_h / T_h), with the drying time turned negative in hours first.
    const double recovery =
        drying_seconds > 0.0 ? 1.0 - std::exp(step_hours / (drying_seconds / -3600.0)) : 0.0;
    const double constant_loss = constant_loss_per_hr * step_hours;

    const std::size_t n = rainfall.data.size();
    DeficitConstantResult result{empty_rainfall_series(rainfall.time_step, n),
                                 empty_rainfall_series(rainfall.time_step, n),
                                 empty_rainfall_series(rainfall.time_step, n)};

    double deficit = initial_deficit;
    for (const double rain : rainfall.data) {
        // Recovery happens on every step, wet or dry, before the rain lands;
        // it also cuts an initial deficit above the capacity down to it.
        const double gap = max_ignoring_nan(max_deficit - deficit, 0.0);
        deficit = min_ignoring_nan(gap * recovery + deficit, max_deficit);

        double excess = 0.0;
        double loss = 0.0;
        if (rain > 0.0) {
            // The constant loss is taken first; only the rest fills the deficit.
            const double constant_part = min_ignoring_nan(rain, constant_loss);
            const double remainder = rain - constant_part;
            const double fill = min_ignoring_nan(remainder, deficit);
            deficit = deficit - fill;
            excess = remainder - fill;
            loss = fill + constant_part;
        }
        result.excess.data.push_back(excess);
        result.loss.data.push_back(loss);
        result.deficit.data.push_back(deficit);
    }
    return result;
}

}  // namespace rainmill
