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

constexpr Param kNewParams[] = {{"discharge"}, {"minimum_elevation"}, {"maximum_elevation"}};
constexpr Signature kNew{"__new__", "ConstantDischargeInfo", kNewParams, 1, kBody,
                         CallableKind::constructor};

ConstantDischargeInfo construct(double discharge, std::optional<double> minimum_elevation,
                                std::optional<double> maximum_elevation) {
    return ConstantDischargeInfo{discharge, minimum_elevation, maximum_elevation};
}

double discharge_of(const ConstantDischargeInfo& outlet) { return outlet.discharge; }
std::optional<double> minimum_of(const ConstantDischargeInfo& outlet) {
    return outlet.minimum_elevation;
}
std::optional<double> maximum_of(const ConstantDischargeInfo& outlet) {
    return outlet.maximum_elevation;
}

PyGetSetDef outlet_getset[] = {
    readonly<&discharge_of>("discharge", "Constant discharge rate (e.g., cfs)."),
    readonly<&minimum_of>("minimum_elevation", "Elevation below which no discharge occurs."),
    readonly<&maximum_of>("maximum_elevation", "Elevation above which no discharge occurs."),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ConstantDischargeInfo,
                      class_spec<ConstantDischargeInfo>("ConstantDischargeInfo", docstring(kNew),
                                                        true, &constructor_entry<&construct, kNew>,
                                                        outlet_getset, nullptr))
