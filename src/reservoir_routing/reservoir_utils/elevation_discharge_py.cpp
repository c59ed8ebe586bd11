// Python class reservoir_utils.ElevationDischarge.
#include <vector>

#include "frame.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kCurveBody =
    "Elevation-discharge rating curve for a reservoir outlet.\n\n"
    "Stores paired elevation and discharge vectors used by outlet structs to look\n"
    "up the flow rate at a given water surface elevation via linear interpolation.\n\n"
    "# Fields\n\n"
    "* `elevation` - Sorted unique elevation values in ascending order.\n"
    "* `discharge` - Discharge values in ascending order, each corresponding\n"
    "  to the paired elevation (e.g., cfs).";

constexpr Param kNewParams[] = {{"elevation"}, {"discharge"}};
constexpr Signature kNew{"__new__", "ElevationDischarge", kNewParams, 2, kCurveBody,
                         CallableKind::constructor};

const std::vector<double>& elevation_of(const ElevationDischarge& curve) {
    return curve.elevation();
}
const std::vector<double>& discharge_of(const ElevationDischarge& curve) {
    return curve.discharge();
}

PyGetSetDef curve_getset[] = {
    readonly<&elevation_of>("elevation"),
    readonly<&discharge_of>("discharge"),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ElevationDischarge,
                      class_spec<ElevationDischarge>(
                          "ElevationDischarge", docstring(kNew), true,
                          &constructor_entry<&ElevationDischarge::create, kNew>, curve_getset,
                          nullptr))
