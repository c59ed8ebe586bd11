// Python class reservoir_utils.ConstantDischargeInfo.
#include <optional>

#include "frame.hpp"
#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kBody =
    "Constant-rate discharge outlet.\n\n"
    "Releases a fixed flow rate at every time step, optionally gated by\n"
    "elevation bounds. When the reservoir elevation is outside the specified\n"
    "range, the outlet releases zero flow.";

constexpr Param kNewParams[] = {{.name = "discharge", .type = "float"},
                                {.name = "minimum_elevation", .type = "float | None"},
                                {.name = "maximum_elevation", .type = "float | None"}};
constexpr Signature kNew{.name = "__new__",
                         .owner = "ConstantDischargeInfo",
                         .params = kNewParams,
                         .required = 1,
                         .returns = "ConstantDischargeInfo",
                         .doc_body = kBody,
                         .kind = CallableKind::constructor};

ConstantDischargeInfo construct(double discharge, std::optional<double> minimum_elevation,
                                std::optional<double> maximum_elevation) {
    return ConstantDischargeInfo{discharge, minimum_elevation, maximum_elevation};
}

PyGetSetDef outlet_getset[] = {
    readonly<&ConstantDischargeInfo::discharge>("discharge",
                                                "Constant discharge rate (e.g., cfs)."),
    readonly<&ConstantDischargeInfo::minimum_elevation>(
        "minimum_elevation", "Elevation below which no discharge occurs."),
    readonly<&ConstantDischargeInfo::maximum_elevation>(
        "maximum_elevation", "Elevation above which no discharge occurs."),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ConstantDischargeInfo,
                      class_spec<ConstantDischargeInfo>("ConstantDischargeInfo", docstring(kNew),
                                                        true, &constructor_entry<&construct, kNew>,
                                                        outlet_getset, nullptr))
