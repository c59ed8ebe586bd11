// Initial and constant loss: the rain first fills an initial loss, then
// infiltrates at a constant rate; what is left is excess.
#pragma once

#include <vector>

#include "rainfall_loss/loss_split.hpp"

namespace rainmill {

// Per interval of `step_hours`, in this order: taken = min(rain, initial
// left), left -= taken, rest = rain - taken, lost = min(rest, rate *
// step_hours), pervious excess = rest - lost; then the impervious share.
// `initial_loss` in inches, `constant_rate` in inches per hour. Validates its
// arguments (InvalidInput).
[[nodiscard]] LossSplit initial_constant_loss(const std::vector<double>& rain, double initial_loss,
                                              double constant_rate, double impervious,
                                              double step_hours);

}  // namespace rainmill
