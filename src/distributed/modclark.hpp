// The quasi-distributed Clark transform (ModClark): each cell's excess is
// lagged by its own travel time to the outlet, the lagged excess of all cells
// is averaged by area, and the mean goes through the subbasin's linear
// reservoir, given as its unit hydrograph (cfs per inch over the subbasin).
#pragma once

#include <cstddef>
#include <vector>

namespace rainmill {

// The area-weighted mean of the cells' lagged excess (inches per interval),
// `steps` intervals. `excess` is time-major: excess[t * cells + c] is cell
// c's depth in interval t; when `shared`, it is one series that every cell
// receives (excess[t]), as the subbasin-mean excess of a network. Cell c's
// travel time is `lags[c]` steps (finite, >= 0): with k = floor(lag) and
// f = lag - k, the product p = weights[c] x excess goes (1 - f) p to
// interval t + k and, when f > 0, f p to interval t + k + 1. Order of
// operations: intervals in time order, cells in index order within each,
// each share added to the interval's running sum (which starts at +0.0);
// shares beyond the last interval are dropped. With every lag 0 each
// interval is ((0 + w0 e0) + w1 e1) + ..., the plain weighted mean.
// Throws InvalidInput for a negative, NaN or infinite depth, lag or weight,
// or sizes that do not fit.
[[nodiscard]] std::vector<double> lagged_mean_excess(const std::vector<double>& excess,
                                                     const std::vector<double>& lags,
                                                     const std::vector<double>& weights,
                                                     bool shared);

// Direct runoff (cfs at the points, one per interval): the lagged mean excess
// convolved with `reservoir` (the linear reservoir's unit hydrograph), in the
// order of convolve_unit_hydrograph (intervals in time order, each adding
// depth x ordinate to the points it reaches).
[[nodiscard]] std::vector<double> modclark_transform(const std::vector<double>& excess,
                                                     const std::vector<double>& lags,
                                                     const std::vector<double>& weights,
                                                     const std::vector<double>& reservoir,
                                                     bool shared);

}  // namespace rainmill
