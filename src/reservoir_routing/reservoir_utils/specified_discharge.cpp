#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "utils/errors.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

static_assert(DischargeSource<SpecifiedDischargeInfo>);

double SpecifiedDischargeInfo::get_discharge(double elevation,
                                             std::optional<std::int64_t> duration_secs) const {
    if (!duration_secs) {
        throw InvalidCall("SpecifiedDischargeInfo requires duration_secs but none was provided.");
    }
    // A shut gate answers even beyond the end of the series.
    if (outlet_detail::gate_shut(elevation, minimum_elevation, maximum_elevation)) return 0.0;
    if (discharge.data.empty()) {
        throw InvalidInput("the specified discharge series has no values to release.");
    }
    const auto elapsed = static_cast<double>(*duration_secs);
    const std::int64_t span = discharge.total_duration();
    if (elapsed > static_cast<double>(span)) {
        throw InvalidInput("simulation duration " + format_number(elapsed) +
                           "s exceeds the specified discharge series length (" +
                           format_integer(span) + "s).");
    }
    return outlet_detail::cap_release(discharge.get_value(elapsed), maximum_release);
}

}  // namespace rainmill
