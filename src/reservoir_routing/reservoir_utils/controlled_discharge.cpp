#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"

#include <utility>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace rainmill {

static_assert(DischargeSource<ControlledDischargeInfo>);

ControlledDischargeInfo::ControlledDischargeInfo(ElevationDischarge elevation_discharge,
                                                 std::optional<double> minimum_elevation,
                                                 std::optional<double> maximum_elevation,
                                                 std::optional<double> maximum_release) noexcept
    : elevation_discharge_(std::move(elevation_discharge)),
      minimum_elevation_(minimum_elevation),
      maximum_elevation_(maximum_elevation),
      maximum_release_(maximum_release) {}

ControlledDischargeInfo ControlledDischargeInfo::create(ElevationDischarge elevation_discharge,
                                                        std::optional<double> minimum_elevation,
                                                        std::optional<double> maximum_elevation,
                                                        std::optional<double> maximum_release) {
    const double first = elevation_discharge.first_elevation();
    const double last = elevation_discharge.last_elevation();
    // A NaN bound compares false and gives way to the curve's end, so the gate
    // never looks below the curve.
    const double minimum =
        minimum_elevation && *minimum_elevation > first ? *minimum_elevation : first;
    std::optional<double> maximum;
    if (maximum_elevation) maximum = *maximum_elevation < last ? *maximum_elevation : last;
    return ControlledDischargeInfo(std::move(elevation_discharge), minimum, maximum,
                                   maximum_release);
}

double ControlledDischargeInfo::get_discharge(double elevation,
                                              std::optional<std::int64_t> duration_secs) const {
    KnotCursor cursor;
    return get_discharge(elevation, duration_secs, cursor);
}

}  // namespace rainmill
