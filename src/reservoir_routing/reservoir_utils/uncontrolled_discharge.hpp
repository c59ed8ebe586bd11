// An uncontrolled spillway with a rating curve.
#pragma once

#include <cstdint>
#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
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
    // The same, with the curve lookup starting from the previous interval
    // (inline: the routing evaluates it every second).
    [[nodiscard]] double get_discharge(double elevation,
                                       std::optional<std::int64_t> /*duration_secs*/,
                                       KnotCursor& cursor) const {
        const double effective = elevation + elevation_offset.value_or(0.0);
        if (effective > elevation_discharge.last_elevation()) {
            outlet_detail::throw_above_curve(effective, elevation_discharge.last_elevation());
        }
        if (effective < elevation_discharge.first_elevation()) return 0.0;
        return elevation_discharge.lookup(effective, cursor);
    }
};

}  // namespace rainmill
