// A unit hydrograph given by its ordinates, re-sampled to the computation step.
#pragma once

#include <vector>

namespace rainmill {

// `ordinates` at 0, d, 2d, ... hours (d = `ordinate_hours`, the duration of
// the excess they answer), in any flow unit: their shape is read by linear
// interpolation at 0, step, 2 step, ... (zero after the last ordinate), and
// then scaled to exactly one inch of excess over `area_acres`
// (scale_to_unit_volume), so the hydrograph's volume is kept whatever the
// step. Throws InvalidInput for a negative or non-finite ordinate, or
// ordinates without volume.
[[nodiscard]] std::vector<double> user_unit_hydrograph(const std::vector<double>& ordinates,
                                                       double ordinate_hours, double area_acres,
                                                       double step_hours);

}  // namespace rainmill
