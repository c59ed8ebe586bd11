// Python class reservoir_utils.SpecifiedDischargeInfo.
#include <optional>
#include <utility>

#include "frame.hpp"
#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kBody =
    "Time-varying specified discharge outlet.\n\n"
    "Discharge is read directly from a `ContinuousTimeSeries` at each simulation\n"
    "time step, optionally gated by elevation bounds and a maximum release cap.";

constexpr Param kNewParams[] = {
    {"discharge"}, {"minimum_elevation"}, {"maximum_elevation"}, {"maximum_release"}};
constexpr Signature kNew{"__new__", "SpecifiedDischargeInfo", kNewParams, 1, kBody,
                         CallableKind::constructor};

SpecifiedDischargeInfo construct(ContinuousTimeSeries discharge,
                                 std::optional<double> minimum_elevation,
                                 std::optional<double> maximum_elevation,
                                 std::optional<double> maximum_release) {
    return SpecifiedDischargeInfo{std::move(discharge), minimum_elevation, maximum_elevation,
                                  maximum_release};
}

const ContinuousTimeSeries& discharge_of(const SpecifiedDischargeInfo& outlet) {
    return outlet.discharge;
}
std::optional<double> minimum_of(const SpecifiedDischargeInfo& outlet) {
    return outlet.minimum_elevation;
}
std::optional<double> maximum_of(const SpecifiedDischargeInfo& outlet) {
    return outlet.maximum_elevation;
}
std::optional<double> release_of(const SpecifiedDischargeInfo& outlet) {
    return outlet.maximum_release;
}

PyGetSetDef outlet_getset[] = {
    readonly<&discharge_of>("discharge",
                            "Time series of prescribed outflow values (kind=discharge)."),
    readonly<&minimum_of>("minimum_elevation"),
    readonly<&maximum_of>("maximum_elevation"),
    readonly<&release_of>("maximum_release"),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(SpecifiedDischargeInfo,
                      class_spec<SpecifiedDischargeInfo>("SpecifiedDischargeInfo",
                                                         docstring(kNew), true,
                                                         &constructor_entry<&construct, kNew>,
                                                         outlet_getset, nullptr))
