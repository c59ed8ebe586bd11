#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"

#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

#include "utils/errors.hpp"
#include "utils/general.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

// True when every element is greater than the one before it; a NaN anywhere
// past the first element makes the comparison false and fails the check.
bool strictly_ascending(const std::vector<double>& values) {
    for (std::size_t i = 1; i < values.size(); ++i) {
        if (!(values[i] > values[i - 1])) return false;
    }
    return true;
}

}  // namespace

ElevationStorage::ElevationStorage(std::vector<double> elevation,
                                   std::vector<double> storage) noexcept
    : elevation_(std::move(elevation)), storage_(std::move(storage)) {}

ElevationStorage ElevationStorage::create(std::vector<double> elevation,
                                          std::vector<double> storage) {
    if (elevation.size() != storage.size()) {
        throw InvalidInput("`elevation` and `storage` must have the same length");
    }
    if (!strictly_ascending(elevation)) {
        throw InvalidInput("`elevation` must must be sorted and can't have duplicates");
    }
    if (!strictly_ascending(storage)) {
        throw InvalidInput("`storage` must must be sorted and can't have duplicates");
    }
    return ElevationStorage(std::move(elevation), std::move(storage));
}

void ElevationStorage::require_lookup_points() const {
    if (elevation_.size() < 2) {
        throw InvalidInput("the elevation-storage curve needs at least 2 points for a lookup.");
    }
}

double ElevationStorage::get_storage(double elevation) const {
    require_lookup_points();
    if (std::isnan(elevation)) {
        throw InvalidInput(
            "`elevation` is NaN and cannot be looked up on the elevation-storage "
            "curve.");
    }
    const std::optional<double> storage =
        interp1d_sorted(elevation_, storage_, elevation, std::nullopt, std::nullopt);
    if (!storage) {
        throw InvalidInput("`elevation` " + format_number(elevation) +
                           " is outside the range of the elevation-storage curve.");
    }
    return *storage;
}

double ElevationStorage::get_elevation(double storage) const {
    KnotCursor cursor;
    return get_elevation(storage, cursor);
}

double ElevationStorage::get_elevation_anywhere(double storage, KnotCursor& cursor) const {
    require_lookup_points();
    if (std::isnan(storage)) {
        throw InvalidInput(
            "`storage` is NaN and cannot be looked up on the elevation-storage "
            "curve.");
    }
    const std::optional<double> elevation =
        interp1d_sorted(storage_, elevation_, storage, std::nullopt, std::nullopt, cursor);
    if (!elevation) {
        throw InvalidInput("`storage` " + format_number(storage) +
                           " is outside the range of the elevation-storage curve.");
    }
    return *elevation;
}

}  // namespace rainmill
