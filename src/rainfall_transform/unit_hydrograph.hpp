// Unit hydrographs at the computation step: scaling a shape to the volume of
// one inch of excess over the basin, and the convolution of excess depths.
#pragma once

#include <cstddef>
#include <vector>

#include "utils/interrupt.hpp"

namespace rainmill {

// Cubic feet of one inch of excess over one acre.
inline constexpr double kCubicFeetPerAcreInch = 43560.0 / 12.0;

// Throws std::bad_alloc when `count` ordinates cannot be held (before any is
// computed), so a lag of years at a one-minute step is refused up front.
void ensure_ordinates_fit(double count);

// `count` zero ordinates, checked by ensure_ordinates_fit and filled in pieces
// on `meter`, so that writing gigabytes of zeros answers an interrupt too.
std::vector<double> zero_ordinates(double count, WorkMeter& meter);

// Scales `shape` (ordinates at the points 0, 1, ... steps after the start of
// one interval's excess) in place to cubic feet per second per inch of excess
// over `area_acres`, so that its volume, sum(shape) * step_seconds, is
// exactly that inch to the rounding of the scaling: factor = (area_acres *
// kCubicFeetPerAcreInch) / (sum * step_seconds), the sum taken in order, then
// each ordinate times the factor. Throws InvalidInput when the shape has no
// volume.
void scale_to_unit_volume(std::vector<double>& shape, double area_acres, double step_seconds);

// Direct runoff (cfs at the N points) from excess depths (inches per
// interval, N values) and unit-hydrograph ordinates (cfs per inch, ordinate k
// at k steps after the start of the excess). Point i receives excess[j] *
// ordinates[i - j] for every interval j <= i within the hydrograph's reach,
// added in the order of j; runoff beyond the last point is not returned.
[[nodiscard]] std::vector<double> convolve_unit_hydrograph(const std::vector<double>& excess,
                                                           const std::vector<double>& ordinates);

}  // namespace rainmill
