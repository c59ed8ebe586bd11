// Functions scs_curve_number_loss, initial_constant_loss and green_ampt_loss
// of rainmill_models._kernels.
#include <tuple>
#include <utility>
#include <vector>

#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/event_builders.hpp"
#include "rainfall_loss/green_ampt.hpp"
#include "rainfall_loss/initial_constant.hpp"
#include "rainfall_loss/scs_curve_number.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

using Split = std::tuple<Values, Values>;

Split as_values(LossSplit split) {
    return {Values{std::move(split.excess)}, Values{std::move(split.infiltration)}};
}

double work_of(const std::vector<double>& rain, double per_value) {
    return per_value * static_cast<double>(rain.size());
}

constexpr const char* kCurveNumberBody =
    "SCS curve-number loss (NRCS NEH 630 chapter 10), cumulative form.\n\n"
    "`rain` in inches per interval; `cn` in (0, 100]; the initial abstraction\n"
    "is `initial_abstraction_ratio` times the potential retention\n"
    "S = 1000 / cn - 10; the `impervious` share (0 to 1) turns its rain into\n"
    "excess. Returns (excess, infiltration), inches per interval.";
constexpr Param kCurveNumberParams[] = {{.name = "rain", .type = "Sequence[float]"},
                                        {.name = "cn", .type = "float"},
                                        {.name = "initial_abstraction_ratio", .type = "float"},
                                        {.name = "impervious", .type = "float"}};
constexpr Signature kCurveNumber{.name = "scs_curve_number_loss",
                                 .params = kCurveNumberParams,
                                 .required = 4,
                                 .returns = "tuple[Values, Values]",
                                 .doc_body = kCurveNumberBody};

Split curve_number(std::vector<double> rain, double cn, double ratio, double impervious) {
    return run_computation(work_of(rain, 4.0), [&] {
        return as_values(scs_curve_number_loss(rain, cn, ratio, impervious));
    });
}

constexpr const char* kInitialConstantBody =
    "Initial and constant loss: `initial_loss` (inches) is filled first, then\n"
    "`constant_rate` (inches per hour) infiltrates; the `impervious` share turns\n"
    "its rain into excess. Returns (excess, infiltration), inches per interval.";
constexpr Param kInitialConstantParams[] = {{.name = "rain", .type = "Sequence[float]"},
                                            {.name = "initial_loss", .type = "float"},
                                            {.name = "constant_rate", .type = "float"},
                                            {.name = "impervious", .type = "float"},
                                            {.name = "step_hours", .type = "float"}};
constexpr Signature kInitialConstant{.name = "initial_constant_loss",
                                     .params = kInitialConstantParams,
                                     .required = 5,
                                     .returns = "tuple[Values, Values]",
                                     .doc_body = kInitialConstantBody};

Split initial_constant(std::vector<double> rain, double initial, double rate, double impervious,
                       double step_hours) {
    return run_computation(work_of(rain, 3.0), [&] {
        return as_values(initial_constant_loss(rain, initial, rate, impervious, step_hours));
    });
}

constexpr const char* kGreenAmptBody =
    "Green–Ampt loss with the explicit per-step form of Li, Stevens and\n"
    "Simons (1976): `suction` (inches), `conductivity` (inches per hour),\n"
    "`moisture_deficit` (fraction); the `impervious` share turns its rain into\n"
    "excess. Returns (excess, infiltration), inches per interval.";
constexpr Param kGreenAmptParams[] = {
    {.name = "rain", .type = "Sequence[float]"}, {.name = "suction", .type = "float"},
    {.name = "conductivity", .type = "float"},   {.name = "moisture_deficit", .type = "float"},
    {.name = "impervious", .type = "float"},     {.name = "step_hours", .type = "float"}};
constexpr Signature kGreenAmpt{.name = "green_ampt_loss",
                               .params = kGreenAmptParams,
                               .required = 6,
                               .returns = "tuple[Values, Values]",
                               .doc_body = kGreenAmptBody};

Split green_ampt(std::vector<double> rain, double suction, double conductivity, double deficit,
                 double impervious, double step_hours) {
    return run_computation(work_of(rain, 16.0), [&] {
        return as_values(
            green_ampt_loss(rain, suction, conductivity, deficit, impervious, step_hours));
    });
}

PyMethodDef curve_number_def = function_def<&curve_number, kCurveNumber>();
PyMethodDef initial_constant_def = function_def<&initial_constant, kInitialConstant>();
PyMethodDef green_ampt_def = function_def<&green_ampt, kGreenAmpt>();

}  // namespace

void add_event_losses(PyObject* module) {
    add_function(module, &curve_number_def);
    add_function(module, &initial_constant_def);
    add_function(module, &green_ampt_def);
}

}  // namespace rainmill::py
