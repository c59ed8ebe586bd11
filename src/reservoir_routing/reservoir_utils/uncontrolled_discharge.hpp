// An uncontrolled spillway with a rating curve.
#pragma once

#include <cstdint>
#include <optional>

#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace rainmill {

struct UnControlledDischargeInfo {
    ElevationDischarge elevation_discharge;
    // Added to the reservoir elevation before the lookup, for a crest on
    // another datum than the storage curve.
    std::optional<double> elevation_offset;

    // Curve discharge at the offset elevation; 0.0 below the curve,
    // InvalidInput above it or for a NaN elevation. No gate, no cap, no clock.
    [[nodiscard]] double get_discharge(double elevation,
                                       std::optional<std::int64_t> duration_secs) const;
    // The same, with the curve lookup starting from the previous interval.
    [[nodiscard]] double get_discharge(double elevation, std::optional<std::int64_t> duration_secs,
                                       KnotCursor& cursor) const;
};

}  // namespace rainmill
