// The elevation-discharge rating curve of an outlet.
#pragma once

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
    // The same, starting from the interval of the previous lookup (routing).
    [[nodiscard]] double lookup(double elevation, KnotCursor& cursor) const;

private:
    ElevationDischarge(std::vector<double> elevation, std::vector<double> discharge) noexcept;

    std::vector<double> elevation_;
    std::vector<double> discharge_;
};

}  // namespace rainmill
