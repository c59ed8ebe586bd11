#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace rainmill {

static_assert(DischargeSource<UnControlledDischargeInfo>);

double UnControlledDischargeInfo::get_discharge(double elevation,
                                                std::optional<std::int64_t> duration_secs) const {
    KnotCursor cursor;
    return get_discharge(elevation, duration_secs, cursor);
}

double UnControlledDischargeInfo::get_discharge(double elevation,
                                                std::optional<std::int64_t> /*duration_secs*/,
                                                KnotCursor& cursor) const {
    const double effective = elevation + elevation_offset.value_or(0.0);
    if (effective > elevation_discharge.last_elevation()) {
        outlet_detail::throw_above_curve(effective, elevation_discharge.last_elevation());
    }
    if (effective < elevation_discharge.first_elevation()) return 0.0;
    return elevation_discharge.lookup(effective, cursor);
}

}  // namespace rainmill
