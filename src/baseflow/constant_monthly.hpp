// Constant monthly baseflow: one flow per calendar month.
#pragma once

#include <vector>

namespace rainmill {

// The 12 `monthly` flows (cfs, January first) at points whose calendar month
// (1 to 12, as floats) is `months`. Throws InvalidInput for a month outside.
[[nodiscard]] std::vector<double> constant_monthly_baseflow(const std::vector<double>& months,
                                                            const std::vector<double>& monthly);

}  // namespace rainmill
