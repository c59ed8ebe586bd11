// Python class reservoir_utils.UnControlledDischargeInfo.
#include <optional>
#include <utility>

#include "frame.hpp"
#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kBody =
    "Uncontrolled spillway outlet.\n\n"
    "Discharge follows an elevation-discharge rating curve without operator\n"
    "control. An optional `elevation_offset` shifts the effective reservoir\n"
    "elevation before the rating-curve lookup \u2014 useful for modeling a weir crest\n"
    "that sits at a different datum than the storage curve.\n\n"
    "Zero discharge is returned when the (offset-adjusted) elevation is below\n"
    "the first entry in the rating curve.";

constexpr Param kNewParams[] = {{.name = "elevation_discharge", .type = "ElevationDischarge"},
                                {.name = "elevation_offset", .type = "float | None"}};
constexpr Signature kNew{.name = "__new__",
                         .owner = "UnControlledDischargeInfo",
                         .params = kNewParams,
                         .required = 1,
                         .returns = "UnControlledDischargeInfo",
                         .doc_body = kBody,
                         .kind = CallableKind::constructor};

UnControlledDischargeInfo construct(ElevationDischarge elevation_discharge,
                                    std::optional<double> elevation_offset) {
    return UnControlledDischargeInfo{std::move(elevation_discharge), elevation_offset};
}

PyGetSetDef outlet_getset[] = {
    readonly<&UnControlledDischargeInfo::elevation_discharge>(
        "elevation_discharge", "Rating curve mapping elevation to discharge."),
    readonly<&UnControlledDischargeInfo::elevation_offset>(
        "elevation_offset",
        "Additive offset applied to the reservoir elevation before curve lookup."),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(UnControlledDischargeInfo,
                      class_spec<UnControlledDischargeInfo>("UnControlledDischargeInfo",
                                                            docstring(kNew), true,
                                                            &constructor_entry<&construct, kNew>,
                                                            outlet_getset, nullptr))
