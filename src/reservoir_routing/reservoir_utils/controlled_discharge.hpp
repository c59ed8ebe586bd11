// A gated outlet (gate, valve, conduit) with its own rating curve.
#pragma once

#include <cstdint>
#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace rainmill {

struct ControlledDischargeInfo {
public:
    // Normalises the bounds against the curve: the minimum is raised to the
    // curve's first elevation (which it becomes when absent or NaN), a given
    // maximum is lowered to the last one (which it becomes when NaN).
    static ControlledDischargeInfo create(ElevationDischarge elevation_discharge,
                                          std::optional<double> minimum_elevation,
                                          std::optional<double> maximum_elevation,
                                          std::optional<double> maximum_release);

    [[nodiscard]] const ElevationDischarge& elevation_discharge() const noexcept {
        return elevation_discharge_;
    }
    [[nodiscard]] std::optional<double> minimum_elevation() const noexcept {
        return minimum_elevation_;
    }
    [[nodiscard]] std::optional<double> maximum_elevation() const noexcept {
        return maximum_elevation_;
    }
    [[nodiscard]] std::optional<double> maximum_release() const noexcept {
        return maximum_release_;
    }

    // Curve discharge capped by `maximum_release`, or 0.0 with the gate shut.
    // InvalidInput above the curve (possible only without a maximum) or for
    // a NaN elevation. The clock is not used.
    [[nodiscard]] double get_discharge(double elevation,
                                       std::optional<std::int64_t> duration_secs) const;
    // The same, with the curve lookup starting from the previous interval
    // (inline: the routing evaluates it every second).
    [[nodiscard]] double get_discharge(double elevation,
                                       std::optional<std::int64_t> /*duration_secs*/,
                                       KnotCursor& cursor) const {
        if (outlet_detail::gate_shut(elevation, minimum_elevation_, maximum_elevation_)) return 0.0;
        if (elevation > elevation_discharge_.last_elevation()) {
            outlet_detail::throw_above_curve(elevation, elevation_discharge_.last_elevation());
        }
        if (elevation < elevation_discharge_.first_elevation()) return 0.0;
        return outlet_detail::cap_release(elevation_discharge_.lookup(elevation, cursor),
                                          maximum_release_);
    }

private:
    ControlledDischargeInfo(ElevationDischarge elevation_discharge,
                            std::optional<double> minimum_elevation,
                            std::optional<double> maximum_elevation,
                            std::optional<double> maximum_release) noexcept;

    ElevationDischarge elevation_discharge_;
    std::optional<double> minimum_elevation_;  // always present once built
    std::optional<double> maximum_elevation_;
    std::optional<double> maximum_release_;
};

}  // namespace rainmill
