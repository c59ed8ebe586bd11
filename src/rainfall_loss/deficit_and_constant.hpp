// Deficit-and-constant rainfall loss: gross rainfall split into excess and
// loss with a soil-moisture deficit that recovers every step.
#pragma once

#include "utils/duration.hpp"
#include "utils/time_series.hpp"

namespace rainmill {

// The three series of a loss run, each with the rainfall's length and time
// step and kind "rainfall".
struct DeficitConstantResult {
    IncrementalTimeSeries excess;   // runoff depth per step, inches
    IncrementalTimeSeries loss;     // constant loss plus deficit fill per step, inches
    IncrementalTimeSeries deficit;  // deficit at the end of each step, inches
};

// Depths in inches (per step for the series), the constant loss rate in
// inches per hour. A zero drying time means the deficit never recovers.
// Arguments are not validated: any value enters the formulas unchanged.
[[nodiscard]] DeficitConstantResult run_deficit_and_constant(const IncrementalTimeSeries& rainfall,
                                                             double initial_deficit,
                                                             double max_deficit,
                                                             double constant_loss_per_hr,
                                                             Duration time_to_dry);

}  // namespace rainmill
