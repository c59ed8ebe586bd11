// Piecewise-linear table lookup shared by the rating curves and the outlets.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>

#include "utils/errors.hpp"

namespace rainmill {

// Piecewise-linear lookup of `x` in the table (x_values, y_values). Below the
// first knot the result is `left`, above the last one `right` (either may be
// absent); there is no extrapolation. The table is checked on every call
// (equal lengths, at least 2 knots, abscissae strictly increasing, ordinates
// non-decreasing): a broken table or a NaN `x` is an InternalFailure.
std::optional<double> interp1d(std::span<const double> x_values, std::span<const double> y_values,
                               double x, std::optional<double> left, std::optional<double> right);

// Remembers the interval of the previous lookup in one table. Routing moves
// the pool a little each second, so the next value usually falls in the same
// interval and needs no search. The interval that contains a value is unique
// in a strictly increasing table, so the result is the halving search's,
// bit for bit. A cursor belongs to one table.
struct KnotCursor {
    std::size_t upper = 0;  // upper knot of the last interior interval; 0: none yet
};

namespace detail {

// Where a value falls among strictly increasing knots: on knot `index`
// (`exact`), or before knot `index` (the number of knots smaller than it).
struct KnotPosition {
    std::size_t index;
    bool exact;
};

// Halving search over the knots. The knot looked at is base + size/2 and the
// base moves there unless that knot is greater than `x`; with strictly
// increasing knots every tie-breaking lands on the same knot or interval.
// `x` must not be NaN.
inline KnotPosition locate_knot(std::span<const double> knots, double x) {
    std::size_t size = knots.size();
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (!(knots[mid] > x)) base = mid;
        size -= half;
    }
    if (knots[base] == x) return {base, true};
    return {knots[base] < x ? base + 1 : base, false};
}

// Interpolation in the interval that ends at knot `upper` (1 <= upper < n).
inline double interpolate_below(std::span<const double> x_values, std::span<const double> y_values,
                                std::size_t upper, double x) {
    const double x0 = x_values[upper - 1];
    const double x1 = x_values[upper];
    const double y0 = y_values[upper - 1];
    const double y1 = y_values[upper];
    // Fraction of the interval first, then scaled by the rise, then offset:
    // this grouping fixes the last bits of every rating-curve lookup.
    return ((x - x0) / (x1 - x0)) * (y1 - y0) + y0;
}

// The lookup proper on a table already known to be valid (>= 2 knots).
inline std::optional<double> interp1d_unchecked(std::span<const double> x_values,
                                                std::span<const double> y_values, double x,
                                                std::optional<double> left,
                                                std::optional<double> right,
                                                KnotCursor* cursor = nullptr) {
    if (std::isnan(x)) {
        throw InternalFailure("cannot interpolate at NaN: it has no ordered place in the table");
    }
    const KnotPosition position = locate_knot(x_values, x);
    // A knot hit returns its ordinate untouched, so curve points read back exactly.
    if (position.exact) return y_values[position.index];
    if (position.index == 0) return left;
    if (position.index == x_values.size()) return right;
    if (cursor != nullptr) cursor->upper = position.index;
    return interpolate_below(x_values, y_values, position.index, x);
}

}  // namespace detail

// The same lookup for tables whose validity was established when they were
// built (the rating curves): no O(n) re-check per call, bit-identical results.
// The caller guarantees equal lengths, at least 2 knots, strictly increasing
// abscissae and non-decreasing ordinates. A NaN `x` is still an InternalFailure.
inline std::optional<double> interp1d_sorted(std::span<const double> x_values,
                                             std::span<const double> y_values, double x,
                                             std::optional<double> left,
                                             std::optional<double> right) {
    return detail::interp1d_unchecked(x_values, y_values, x, left, right);
}

inline std::optional<double> interp1d_sorted(std::span<const double> x_values,
                                             std::span<const double> y_values, double x,
                                             std::optional<double> left,
                                             std::optional<double> right, KnotCursor& cursor) {
    const std::size_t upper = cursor.upper;
    // Strictly inside the previous interval (false for NaN, which then fails
    // in the full lookup as usual).
    if (upper != 0 && x_values[upper - 1] < x && x < x_values[upper]) {
        return detail::interpolate_below(x_values, y_values, upper, x);
    }
    return detail::interp1d_unchecked(x_values, y_values, x, left, right, &cursor);
}

}  // namespace rainmill
