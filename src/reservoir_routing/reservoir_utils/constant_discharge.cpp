#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace rainmill {

static_assert(DischargeSource<ConstantDischargeInfo>);

double ConstantDischargeInfo::get_discharge(double elevation,
                                            std::optional<std::int64_t> /*duration_secs*/) const {
    if (outlet_detail::gate_shut(elevation, minimum_elevation, maximum_elevation)) return 0.0;
    return discharge;
}

}  // namespace rainmill
