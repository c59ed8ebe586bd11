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

constexpr Param kNewParams[] = {{.name = "elevation_discharge", .type = "ElevationDischarge"},
                                {.name = "minimum_elevation", .type = "float | None"},
                                {.name = "maximum_elevation", .type = "float | None"},
                                {.name = "maximum_release", .type = "float | None"}};
constexpr Signature kNew{.name = "__new__",
                         .owner = "ControlledDischargeInfo",
                         .params = kNewParams,
                         .required = 1,
                         .returns = "ControlledDischargeInfo",
                         .doc_body = kBody,
                         .kind = CallableKind::constructor};

// The bounds read back as normalised at construction, not as given.
PyGetSetDef outlet_getset[] = {
    readonly<&ControlledDischargeInfo::elevation_discharge>(
        "elevation_discharge", "Rating curve mapping elevation to discharge."),
    readonly<&ControlledDischargeInfo::minimum_elevation>(
        "minimum_elevation", "Elevation below which no discharge occurs."),
    readonly<&ControlledDischargeInfo::maximum_elevation>(
        "maximum_elevation", "Elevation above which no discharge occurs."),
    readonly<&ControlledDischargeInfo::maximum_release>("maximum_release",
                                                        "Cap on the maximum allowable discharge."),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(
    ControlledDischargeInfo,
    class_spec<ControlledDischargeInfo>("ControlledDischargeInfo", docstring(kNew), true,
                                        &constructor_entry<&ControlledDischargeInfo::create, kNew>,
                                        outlet_getset, nullptr))
