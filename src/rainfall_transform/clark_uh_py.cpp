// Python function rainfall_transform.run_clark_uh.
#include <cmath>

#include "frame.hpp"
#include "frame_detach.hpp"
#include "module_builders.hpp"
#include "rainfall_transform/clark_uh.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kClarkBody =
    "Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Excess rainfall series (inches per time step).\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `tc` - Time of concentration. Controls the duration and shape of the\n"
    "  translation hydrograph.\n"
    "* `storage_r` - Linear reservoir storage coefficient. Controls attenuation.\n\n"
    "# Returns\n\n"
    "A `ContinuousTimeSeries` (kind=discharge, cfs) at the same time step as `rainfall`.";

constexpr Param kClarkParams[] = {{.name = "rainfall", .type = "IncrementalTimeSeries"},
                                  {.name = "basin_area", .type = "float"},
                                  {.name = "tc", .type = "timedelta"},
                                  {.name = "storage_r", .type = "timedelta"}};
constexpr Signature kClarkSignature{.name = "run_clark_uh",
                                    .params = kClarkParams,
                                    .required = 4,
                                    .returns = "ContinuousTimeSeries",
                                    .doc_body = kClarkBody,
                                    .kind = CallableKind::function};

// Both timedeltas are type-checked with the other arguments; their values are
// read afterwards, tc first, so a negative tc is the one reported.
ContinuousTimeSeries transform(IncrementalTimeSeries rainfall, double basin_area, TimedeltaArg tc,
                               TimedeltaArg storage_r) {
    const Duration concentration = tc.to_duration();
    const Duration storage = storage_r.to_duration();
    // The ordinates (a power each) and the convolution over every wet step.
    const double dt = static_cast<double>(rainfall.time_step);
    const double ordinates = std::ceil(concentration.as_seconds() / dt);
    const double work = ordinates * (43.0 + static_cast<double>(rainfall.data.size()));
    return run_computation(
        work, [&] { return run_clark_uh(rainfall, basin_area, concentration, storage); });
}

PyMethodDef clark_def = function_def<&transform, kClarkSignature>();

}  // namespace

void init_transform(PyObject* module) { add_function(module, &clark_def); }

}  // namespace rainmill::py
