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

constexpr Param kNewParams[] = {{.name = "discharge", .type = "ContinuousTimeSeries"},
                                {.name = "minimum_elevation", .type = "float | None"},
                                {.name = "maximum_elevation", .type = "float | None"},
                                {.name = "maximum_release", .type = "float | None"}};
constexpr Signature kNew{.name = "__new__",
                         .owner = "SpecifiedDischargeInfo",
                         .params = kNewParams,
                         .required = 1,
                         .returns = "SpecifiedDischargeInfo",
                         .doc_body = kBody,
                         .kind = CallableKind::constructor};

SpecifiedDischargeInfo construct(ContinuousTimeSeries discharge,
                                 std::optional<double> minimum_elevation,
                                 std::optional<double> maximum_elevation,
                                 std::optional<double> maximum_release) {
    return SpecifiedDischargeInfo{std::move(discharge), minimum_elevation, maximum_elevation,
                                  maximum_release};
}

PyGetSetDef outlet_getset[] = {
    readonly<&SpecifiedDischargeInfo::discharge>(
        "discharge", "Time series of prescribed outflow values (kind=discharge)."),
    readonly<&SpecifiedDischargeInfo::minimum_elevation>("minimum_elevation"),
    readonly<&SpecifiedDischargeInfo::maximum_elevation>("maximum_elevation"),
    readonly<&SpecifiedDischargeInfo::maximum_release>("maximum_release"),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(SpecifiedDischargeInfo,
                      class_spec<SpecifiedDischargeInfo>("SpecifiedDischargeInfo", docstring(kNew),
                                                         true, &constructor_entry<&construct, kNew>,
                                                         outlet_getset, nullptr))
