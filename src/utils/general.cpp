#include "utils/general.hpp"

namespace rainmill {

std::optional<double> interp1d(std::span<const double> x_values, std::span<const double> y_values,
                               double x, std::optional<double> left, std::optional<double> right) {
    if (x_values.size() != y_values.size()) {
        throw InternalFailure("length of `x_values` and `y_values` should be same.");
    }
    if (x_values.size() < 2) {
        throw InternalFailure("x_values and y_values each must have at least 2 elements.");
    }
    // Written as negated comparisons so that a NaN knot fails the check too.
    for (std::size_t i = 1; i < x_values.size(); ++i) {
        if (!(x_values[i] > x_values[i - 1])) {
            throw InternalFailure("`x_values` must must be sorted and can't have duplicates");
        }
    }
    for (std::size_t i = 1; i < y_values.size(); ++i) {
        if (!(y_values[i] >= y_values[i - 1])) {
            throw InternalFailure("`y_values` must must be sorted");
        }
    }
    return detail::interp1d_unchecked(x_values, y_values, x, left, right);
}

}  // namespace rainmill
