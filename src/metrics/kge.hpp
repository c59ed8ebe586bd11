// Goodness of fit of a simulated series against an observed one.
#pragma once

#include <vector>

namespace rainmill {

// Kling-Gupta efficiency: 1 minus the distance of (correlation, bias ratio,
// variability ratio) from (1, 1, 1). With `use_log` both series are compared
// as ln(x + 1e-6). Throws InvalidInput for an empty `obs` (checked first) or
// for series of different lengths; degenerate series are absorbed by 1e-6
// guards instead. The result is not clamped and may be NaN.
[[nodiscard]] double calculate_kge(const std::vector<double>& sim, const std::vector<double>& obs,
                                   bool use_log);

}  // namespace rainmill
