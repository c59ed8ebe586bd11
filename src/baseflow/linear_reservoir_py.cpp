// Python side of the baseflow submodule: run_linear_reservoir and the
// LinearReservoir layer class.
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "baseflow/linear_reservoir.hpp"
#include "frame.hpp"
#include "frame_detach.hpp"
#include "module_builders.hpp"
#include "utils/named.hpp"
#include "utils/time_series.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kLayerBody =
    "Configuration for a single linear reservoir groundwater layer.\n\n"
    "A linear reservoir models groundwater storage with the recurrence relation:\n"
    "`Q[t] = C * I[t] + (1 - C) * Q[t-1]`, where `C = dt / (K + 0.5*dt)`.\n"
    "Chaining `num_reservoir` reservoirs in series produces a more peaked,\n"
    "delayed response.";

constexpr Param kLayerParams[] = {{.name = "k_duration", .type = "timedelta"},
                                  {.name = "gw_fraction", .type = "float"},
                                  {.name = "initial_q", .type = "float"},
                                  {.name = "num_reservoir", .type = "int", .shown_default = "1"}};
constexpr Signature kLayerNew{.name = "__new__",
                              .owner = "LinearReservoir",
                              .params = kLayerParams,
                              .required = 3,
                              .returns = "LinearReservoir",
                              .doc_body = kLayerBody,
                              .kind = CallableKind::constructor};

constexpr const char* kRunBody =
    "Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.\n\n"
    "# Arguments\n\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `rainfall` - Infiltrated rainfall series (inches per time step).\n"
    "* `reservoirs` - Named linear reservoir configurations.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if sum of all fractions exceeds 1.0,\n"
    "or any reservoir fails its stability check.";

constexpr Param kRunParams[] = {{.name = "basin_area", .type = "float"},
                                {.name = "rainfall", .type = "IncrementalTimeSeries"},
                                {.name = "reservoirs", .type = "dict[str, LinearReservoir]"}};
constexpr Signature kRun{.name = "run_linear_reservoir",
                         .params = kRunParams,
                         .required = 3,
                         .returns = "tuple[ContinuousTimeSeries, dict[str, ContinuousTimeSeries]]",
                         .doc_body = kRunBody,
                         .kind = CallableKind::function};

// The three numbers are converted before the timedelta's value is read, so a
// bad fraction type is reported ahead of a negative k_duration.
LinearReservoir construct(TimedeltaArg k_duration, double gw_fraction, double initial_q,
                          WithDefault<std::size_t, 1> num_reservoir) {
    return LinearReservoir::create(k_duration.to_duration(), gw_fraction, initial_q,
                                   num_reservoir.value);
}

TimedeltaSeconds k_duration_of(const LinearReservoir& layer) { return {layer.k_duration}; }

// Setters change the type only; the ranges the constructor enforces are not
// re-checked, and the routing is written to cope with what they let through.
PyGetSetDef layer_getset[] = {
    readwrite<&LinearReservoir::gw_fraction>(
        "gw_fraction",
        "Fraction of rainfall loss that contributes to this reservoir's baseflow.\n"
        "Must be in [0.0, 1.0]."),
    readwrite<&LinearReservoir::initial_q>(
        "initial_q", "Initial discharge at the start of the simulation (e.g., cfs)."),
    readwrite<&LinearReservoir::num_reservoir>("num_reservoir",
                                               "Number of linear reservoirs chained in series."),
    readonly<&k_duration_of>("k_duration",
                             "Returns the storage time constant as a Python `timedelta`."),
    {},
};

std::tuple<ContinuousTimeSeries, NamedList<ContinuousTimeSeries>> run(
    double basin_area, IncrementalTimeSeries rainfall, NamedList<LinearReservoir> reservoirs) {
    double chained = 0.0;
    for (const auto& entry : reservoirs) chained += static_cast<double>(entry.second.num_reservoir);
    const double work = static_cast<double>(rainfall.data.size()) * (1.0 + 3.0 * chained);
    LinearReservoirResult result = run_computation(
        work, [&] { return run_linear_reservoir(basin_area, rainfall, reservoirs); });
    return {std::move(result.total), std::move(result.per_layer)};
}

PyMethodDef run_def = function_def<&run, kRun>();

}  // namespace

void init_baseflow(PyObject* module) {
    add_function(module, &run_def);
    add_class<LinearReservoir>(module);
}

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(LinearReservoir,
                      class_spec<LinearReservoir>("LinearReservoir", docstring(kLayerNew), false,
                                                  &constructor_entry<&construct, kLayerNew>,
                                                  layer_getset, nullptr))
