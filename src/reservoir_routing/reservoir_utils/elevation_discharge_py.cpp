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

constexpr Param kNewParams[] = {{.name = "elevation", .type = "Sequence[float]"},
                                {.name = "discharge", .type = "Sequence[float]"}};
constexpr Signature kNew{.name = "__new__",
                         .owner = "ElevationDischarge",
                         .params = kNewParams,
                         .required = 2,
                         .returns = "ElevationDischarge",
                         .doc_body = kCurveBody,
                         .kind = CallableKind::constructor};

PyGetSetDef curve_getset[] = {
    readonly<&ElevationDischarge::elevation>("elevation"),
    readonly<&ElevationDischarge::discharge>("discharge"),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ElevationDischarge, class_spec<ElevationDischarge>(
                                              "ElevationDischarge", docstring(kNew), true,
                                              &constructor_entry<&ElevationDischarge::create, kNew>,
                                              curve_getset, nullptr))
