// The elevation-discharge rating curve of an outlet.
#pragma once

#include <cstddef>
#include <vector>

#include "utils/general.hpp"

namespace rainmill {

// Paired elevations (strictly ascending) and discharges (non-decreasing), at
// least two points. The outlets read the two vectors directly.
struct ElevationDischarge {
public:
    // Validates lengths, point count, elevations, then discharges;
    // InvalidInput with the caller-facing message otherwise.
    static ElevationDischarge create(std::vector<double> elevation, std::vector<double> discharge);

    [[nodiscard]] const std::vector<double>& elevation() const noexcept { return elevation_; }
    [[nodiscard]] const std::vector<double>& discharge() const noexcept { return discharge_; }

    [[nodiscard]] double first_elevation() const noexcept { return elevation_.front(); }
    [[nodiscard]] double last_elevation() const noexcept { return elevation_.back(); }

    // Discharge at `elevation`, which the caller has already placed within
    // [first_elevation, last_elevation]; InvalidInput for NaN.
    [[nodiscard]] double lookup(double elevation) const;
    // The same, starting from the interval of the previous lookup (routing):
    // inside that interval (never for NaN) the interpolation alone, inline.
    [[nodiscard]] double lookup(double elevation, KnotCursor& cursor) const {
        const std::size_t upper = cursor.upper;
        if (upper != 0 && elevation_[upper - 1] < elevation && elevation < elevation_[upper]) {
            return detail::interpolate_below(elevation_, discharge_, upper, elevation);
        }
        return lookup_anywhere(elevation, cursor);
    }

private:
    [[nodiscard]] double lookup_anywhere(double elevation, KnotCursor& cursor) const;

    ElevationDischarge(std::vector<double> elevation, std::vector<double> discharge) noexcept;

    std::vector<double> elevation_;
    std::vector<double> discharge_;
};

}  // namespace rainmill
