#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

#include "utils/errors.hpp"
#include "utils/general.hpp"

namespace rainmill {

ElevationDischarge::ElevationDischarge(std::vector<double> elevation,
                                       std::vector<double> discharge) noexcept
    : elevation_(std::move(elevation)), discharge_(std::move(discharge)) {}

ElevationDischarge ElevationDischarge::create(std::vector<double> elevation,
                                              std::vector<double> discharge) {
    if (elevation.size() != discharge.size()) {
        throw InvalidInput("`elevation` and `discharge` must have the same length");
    }
    if (elevation.size() < 2) {
        throw InvalidInput("`elevation` and `discharge` each must have at least 2 elements.");
    }
    // Negated comparisons, so that a NaN point fails the check as well.
    for (std::size_t i = 1; i < elevation.size(); ++i) {
        if (!(elevation[i] > elevation[i - 1])) {
            throw InvalidInput("`elevation` must must be sorted and can't have duplicates");
        }
    }
    for (std::size_t i = 1; i < discharge.size(); ++i) {
        if (!(discharge[i] >= discharge[i - 1])) {
            throw InvalidInput("`discharge` must must be sorted");
        }
    }
    return ElevationDischarge(std::move(elevation), std::move(discharge));
}

double ElevationDischarge::lookup(double elevation) const {
    KnotCursor cursor;
    return lookup(elevation, cursor);
}

double ElevationDischarge::lookup_anywhere(double elevation, KnotCursor& cursor) const {
    if (std::isnan(elevation)) {
        throw InvalidInput(
            "elevation is NaN and cannot be looked up on the elevation-discharge "
            "curve.");
    }
    // Zero below the curve; nothing above it, since the outlets refuse
    // elevations above the last point before they get here.
    const std::optional<double> discharge =
        interp1d_sorted(elevation_, discharge_, elevation, 0.0, std::nullopt, cursor);
    if (!discharge) {
        throw InternalFailure("elevation-discharge lookup above the curve reached the table");
    }
    return *discharge;
}

}  // namespace rainmill
