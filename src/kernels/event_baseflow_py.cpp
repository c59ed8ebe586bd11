// Functions recession_baseflow and constant_monthly_baseflow of
// rainmill_models._kernels.
#include <vector>

#include "baseflow/constant_monthly.hpp"
#include "baseflow/recession.hpp"
#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/event_builders.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kRecessionBody =
    "Recession baseflow (cfs at the points) beside the `direct` runoff (cfs at\n"
    "the points): `initial_flow` recedes by `recession_constant` per day, and\n"
    "the total flow recedes the same way from where it falls to the threshold\n"
    "on an event's falling limb (`threshold` times the peak when\n"
    "`threshold_is_ratio`, else a flow in cfs).";
constexpr Param kRecessionParams[] = {
    {.name = "direct", .type = "Sequence[float]"},   {.name = "initial_flow", .type = "float"},
    {.name = "recession_constant", .type = "float"}, {.name = "threshold", .type = "float"},
    {.name = "threshold_is_ratio", .type = "bool"},  {.name = "step_hours", .type = "float"}};
constexpr Signature kRecession{.name = "recession_baseflow",
                               .params = kRecessionParams,
                               .required = 6,
                               .returns = "Values",
                               .doc_body = kRecessionBody};

Values recession(std::vector<double> direct, double initial, double constant, double threshold,
                 bool is_ratio, double step_hours) {
    return run_computation(6.0 * static_cast<double>(direct.size()), [&] {
        return Values{
            recession_baseflow(direct, initial, constant, threshold, is_ratio, step_hours)};
    });
}

constexpr const char* kMonthlyBody =
    "The 12 `monthly` flows (cfs, January first) at points of calendar month\n"
    "`months` (1 to 12).";
constexpr Param kMonthlyParams[] = {{.name = "months", .type = "Sequence[float]"},
                                    {.name = "monthly", .type = "Sequence[float]"}};
constexpr Signature kMonthly{.name = "constant_monthly_baseflow",
                             .params = kMonthlyParams,
                             .required = 2,
                             .returns = "Values",
                             .doc_body = kMonthlyBody};

Values monthly(std::vector<double> months, std::vector<double> flows) {
    return Values{constant_monthly_baseflow(months, flows)};
}

PyMethodDef recession_def = function_def<&recession, kRecession>();
PyMethodDef monthly_def = function_def<&monthly, kMonthly>();

}  // namespace

void add_event_baseflows(PyObject* module) {
    add_function(module, &recession_def);
    add_function(module, &monthly_def);
}

}  // namespace rainmill::py
