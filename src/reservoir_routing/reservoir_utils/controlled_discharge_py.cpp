// Python class reservoir_utils.ControlledDischargeInfo.
#include <optional>

#include "frame.hpp"
#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kBody =
    "Controlled release outlet (e.g., gate, valve, conduit).\n\n"
    "Discharge is determined by an elevation-discharge rating curve and can be\n"
    "bounded by minimum/maximum elevation gates and a maximum release cap.\n"
    "When the reservoir elevation is below `minimum_elevation` or above\n"
    "`maximum_elevation`, the outlet releases zero flow.\n\n"
    "The `minimum_elevation` defaults to the lowest elevation in the rating curve\n"
    "if not provided, ensuring no negative-elevation lookups occur.";

constexpr Param kNewParams[] = {
    {"elevation_discharge"}, {"minimum_elevation"}, {"maximum_elevation"}, {"maximum_release"}};
constexpr Signature kNew{"__new__", "ControlledDischargeInfo", kNewParams, 1, kBody,
                         CallableKind::constructor};

const ElevationDischarge& curve_of(const ControlledDischargeInfo& outlet) {
    return outlet.elevation_discharge();
}
// The bounds read back as normalised at construction, not as given.
std::optional<double> minimum_of(const ControlledDischargeInfo& outlet) {
    return outlet.minimum_elevation();
}
std::optional<double> maximum_of(const ControlledDischargeInfo& outlet) {
    return outlet.maximum_elevation();
}
std::optional<double> release_of(const ControlledDischargeInfo& outlet) {
    return outlet.maximum_release();
}

PyGetSetDef outlet_getset[] = {
    readonly<&curve_of>("elevation_discharge", "Rating curve mapping elevation to discharge."),
    readonly<&minimum_of>("minimum_elevation", "Elevation below which no discharge occurs."),
    readonly<&maximum_of>("maximum_elevation", "Elevation above which no discharge occurs."),
    readonly<&release_of>("maximum_release", "Cap on the maximum allowable discharge."),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ControlledDischargeInfo,
                      class_spec<ControlledDischargeInfo>(
                          "ControlledDischargeInfo", docstring(kNew), true,
                          &constructor_entry<&ControlledDischargeInfo::create, kNew>,
                          outlet_getset, nullptr))
