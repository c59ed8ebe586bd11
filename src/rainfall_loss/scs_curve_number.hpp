// SCS curve-number loss (USDA NRCS, National Engineering Handbook Part 630,
// chapter 10): the runoff equation applied to the cumulative rain of the
// event, its increments per interval being the excess.
#pragma once

#include <vector>

#include "rainfall_loss/loss_split.hpp"

namespace rainmill {

// Potential retention S = 1000 / cn - 10 (inches), for 0 < cn <= 100.
[[nodiscard]] double scs_potential_retention(double curve_number);

// The excess of `rain` (inches per interval) on a basin of curve number
// `curve_number` (the pervious part), initial abstraction Ia = ratio * S,
// and the share `impervious` producing excess directly. Cumulative form: with
// P the running sum of the rain (added in order), Q(P) = (P - Ia)^2 /
// ((P - Ia) + S) when P > Ia and 0 otherwise; the pervious excess of
// interval i is Q(P_i) - Q(P_{i-1}), kept within [0, rain_i] against
// rounding. Validates its arguments (InvalidInput).
[[nodiscard]] LossSplit scs_curve_number_loss(const std::vector<double>& rain, double curve_number,
                                              double initial_abstraction_ratio, double impervious);

}  // namespace rainmill
