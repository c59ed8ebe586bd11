#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace rainmill {

static_assert(DischargeSource<UnControlledDischargeInfo>);

double UnControlledDischargeInfo::get_discharge(double elevation,
                                                std::optional<std::int64_t> duration_secs) const {
    KnotCursor cursor;
    return get_discharge(elevation, duration_secs, cursor);
}

}  // namespace rainmill
