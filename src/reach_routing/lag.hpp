// Lag routing: the outflow is the inflow delayed by a fixed time.
#pragma once

#include <vector>

namespace rainmill {

// With lag / step = n + f (n whole steps, 0 <= f < 1), outflow[i] =
// (1 - f) * inflow[i - n] + f * inflow[i - n - 1], the inflow before the
// first point being the first inflow; a whole-step lag (f = 0) is an exact
// shift. Throws InvalidInput for a negative or non-finite lag, step or inflow.
[[nodiscard]] std::vector<double> route_lag(const std::vector<double>& inflow, double lag_hours,
                                            double step_hours);

}  // namespace rainmill
