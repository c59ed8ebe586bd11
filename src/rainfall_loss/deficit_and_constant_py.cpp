// Python function rainfall_loss.run_deficit_and_constant and its result class
// DeficitConstantResult.
#include "frame.hpp"
#include "frame_detach.hpp"
#include "module_builders.hpp"
#include "rainfall_loss/deficit_and_constant.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kLossBody =
    "Separates gross rainfall into excess runoff and infiltration losses using the\n"
    "deficit-and-constant model.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Gross rainfall time series (inches per time step).\n"
    "* `initial_deficit` - Starting soil moisture deficit (inches).\n"
    "* `max_deficit` - Maximum soil moisture storage capacity (inches).\n"
    "* `constant_loss_per_hr` - Constant infiltration rate (inches/hour).\n"
    "* `time_to_dry` - Characteristic drying time for deficit recovery.\n\n"
    "# Returns\n\n"
    "A `DeficitConstantResult` with `excess`, `loss`, and `deficit` series.";

constexpr Param kLossParams[] = {{.name = "rainfall", .type = "IncrementalTimeSeries"},
                                 {.name = "initial_deficit", .type = "float"},
                                 {.name = "max_deficit", .type = "float"},
                                 {.name = "constant_loss_per_hr", .type = "float"},
                                 {.name = "time_to_dry", .type = "timedelta"}};
constexpr Signature kLossSignature{.name = "run_deficit_and_constant",
                                   .params = kLossParams,
                                   .required = 5,
                                   .returns = "DeficitConstantResult",
                                   .doc_body = kLossBody,
                                   .kind = CallableKind::function};

// The drying time is read before anything is computed: a negative one fails
// without producing any series.
DeficitConstantResult separate_losses(IncrementalTimeSeries rainfall, double initial_deficit,
                                      double max_deficit, double constant_loss_per_hr,
                                      TimedeltaArg time_to_dry) {
    const Duration drying = time_to_dry.to_duration();
    // One pass over the steps: detached when long, no checks needed.
    const double work = 4.0 * static_cast<double>(rainfall.data.size());
    return run_computation(work, [&] {
        return run_deficit_and_constant(rainfall, initial_deficit, max_deficit,
                                        constant_loss_per_hr, drying);
    });
}

PyMethodDef loss_def = function_def<&separate_losses, kLossSignature>();

PyGetSetDef result_getset[] = {
    readonly<&DeficitConstantResult::excess>(
        "excess", "Excess rainfall that becomes surface runoff (inches per time step)."),
    readonly<&DeficitConstantResult::loss>(
        "loss", "Total infiltrated depth per time step (constant loss + deficit fill, inches)."),
    readonly<&DeficitConstantResult::deficit>(
        "deficit", "Running soil moisture deficit at the end of each time step (inches)."),
    {},
};

}  // namespace

void init_loss(PyObject* module) {
    add_class<DeficitConstantResult>(module);
    add_function(module, &loss_def);
}

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(
    DeficitConstantResult,
    class_spec<DeficitConstantResult>("DeficitConstantResult",
                                      "Results from the deficit-and-constant rainfall loss model.",
                                      true, nullptr, rainmill::py::result_getset, nullptr))
