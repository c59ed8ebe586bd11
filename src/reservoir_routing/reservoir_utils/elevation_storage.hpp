// The elevation-storage rating curve of a reservoir.
#pragma once

#include <cstddef>
#include <vector>

#include "utils/general.hpp"

namespace rainmill {

// Paired water-surface elevations and stored volumes, both strictly
// ascending. Storage is in the volume unit of the routed inflow rate times
// seconds (cubic feet with cfs); nothing is ever converted.
//
// Empty and one-point curves are accepted as values, but cannot be looked up:
// a lookup on them is refused with InvalidInput.
struct ElevationStorage {
public:
    // Validates the pair of vectors (lengths first, then elevations, then
    // storages); InvalidInput with the caller-facing message otherwise.
    static ElevationStorage create(std::vector<double> elevation, std::vector<double> storage);

    [[nodiscard]] const std::vector<double>& elevation() const noexcept { return elevation_; }
    [[nodiscard]] const std::vector<double>& storage() const noexcept { return storage_; }

    // Storage at `elevation`, inclusive at both ends of the curve.
    // InvalidInput outside the curve, for NaN, and on a curve of < 2 points.
    [[nodiscard]] double get_storage(double elevation) const;

    // Elevation at `storage`, inclusive at both ends of the curve.
    // InvalidInput outside the curve, for NaN, and on a curve of < 2 points.
    [[nodiscard]] double get_elevation(double storage) const;
    // The same, starting from the interval of the previous lookup (routing):
    // inside that interval (never for NaN) the interpolation alone, inline.
    [[nodiscard]] double get_elevation(double storage, KnotCursor& cursor) const {
        const std::size_t upper = cursor.upper;
        if (upper != 0 && storage_[upper - 1] < storage && storage < storage_[upper]) {
            return detail::interpolate_below(storage_, elevation_, upper, storage);
        }
        return get_elevation_anywhere(storage, cursor);
    }

private:
    [[nodiscard]] double get_elevation_anywhere(double storage, KnotCursor& cursor) const;

    ElevationStorage(std::vector<double> elevation, std::vector<double> storage) noexcept;
    void require_lookup_points() const;

    std::vector<double> elevation_;
    std::vector<double> storage_;
};

}  // namespace rainmill
