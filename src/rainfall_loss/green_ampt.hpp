// Green–Ampt infiltration (Green and Ampt, 1911) with the explicit per-step
// form of Li, Stevens and Simons (1976): the infiltration capacity of a step
// is the Green–Ampt rate K (1 + M / F) integrated with F taken at the step's
// mid-point, which makes the step a quadratic solved in closed form. Ponding
// is decided per step: the rain of a step infiltrates whole while it is no
// more than that capacity, and the rest becomes excess once it is more.
#pragma once

#include <vector>

#include "rainfall_loss/loss_split.hpp"

namespace rainmill {

// `suction` (wetting-front suction head, inches), `conductivity` (saturated
// hydraulic conductivity, inches per hour), `moisture_deficit` (fraction).
// With M = suction * deficit, k = conductivity * step_hours and F the
// cumulative infiltration (0 at the start), per interval in this order:
// a = k - (F + F), r = sqrt(a * a + (8 * k) * (F + M)), capacity =
// 0.5 * (a + r); infiltrated = min(rain, capacity), F += infiltrated,
// pervious excess = rain - infiltrated; then the impervious share. A dry
// interval (rain exactly +0) changes neither F nor the excess and skips the
// root. While the rain is below the capacity F grows by the rain alone, so the
// next interval need not wait on this one's root (the loop branches there
// instead of taking a minimum). Once F is
// large against k the sum a + r cancels: its relative error is about
// 2 F / k ulps of the capacity (1e-11 for F = 20 in, k = 0.001 in), far below
// what the parameters are known to, and the step has no division in the
// chain from one interval to the next. Validates its arguments (InvalidInput).
[[nodiscard]] LossSplit green_ampt_loss(const std::vector<double>& rain, double suction,
                                        double conductivity, double moisture_deficit,
                                        double impervious, double step_hours);

}  // namespace rainmill
