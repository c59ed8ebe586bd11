// Functions scs_unit_hydrograph, snyder_unit_hydrograph, user_unit_hydrograph
// and convolve_unit_hydrograph of rainmill_models._kernels.
#include <vector>

#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/event_builders.hpp"
#include "rainfall_transform/scs_uh.hpp"
#include "rainfall_transform/unit_hydrograph.hpp"
#include "rainfall_transform/user_uh.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

// Work of a unit hydrograph of about `steps` ordinates (the SCS base is some five times
// the time to peak); a negative or NaN count is refused inside before any work.
double ordinate_work(double steps) { return steps > 0.0 ? 80.0 * (steps + 1.0) : 0.0; }

constexpr const char* kScsBody =
    "Ordinates (cfs per inch of excess over `area_acres`) of the SCS\n"
    "dimensionless unit hydrograph (NRCS NEH 630 chapter 16, table 16-1) at\n"
    "0, 1, 2, ... steps: time to peak `step_hours` / 2 + `lag_hours`, the\n"
    "recession stretched for a `peak_rate_factor` other than 484, volume\n"
    "exactly one inch.";
constexpr Param kScsParams[] = {{.name = "lag_hours", .type = "float"},
                                {.name = "peak_rate_factor", .type = "float"},
                                {.name = "area_acres", .type = "float"},
                                {.name = "step_hours", .type = "float"}};
constexpr Signature kScs{.name = "scs_unit_hydrograph",
                         .params = kScsParams,
                         .required = 4,
                         .returns = "Values",
                         .doc_body = kScsBody};

Values scs(double lag, double factor, double area, double step) {
    return run_computation(ordinate_work(lag / step),
                           [&] { return Values{scs_unit_hydrograph(lag, factor, area, step)}; });
}

constexpr const char* kSnyderBody =
    "Ordinates (cfs per inch) of Snyder's unit hydrograph (basin lag `tp_hours`,\n"
    "peaking coefficient `cp`) as the SCS dimensionless shape with Snyder's\n"
    "peak 640 cp A / tpR at tR / 2 + tpR, tpR the lag adjusted to the step.";
constexpr Param kSnyderParams[] = {{.name = "tp_hours", .type = "float"},
                                   {.name = "cp", .type = "float"},
                                   {.name = "area_acres", .type = "float"},
                                   {.name = "step_hours", .type = "float"}};
constexpr Signature kSnyder{.name = "snyder_unit_hydrograph",
                            .params = kSnyderParams,
                            .required = 4,
                            .returns = "Values",
                            .doc_body = kSnyderBody};

Values snyder(double tp, double cp, double area, double step) {
    return run_computation(ordinate_work(tp / step),
                           [&] { return Values{snyder_unit_hydrograph(tp, cp, area, step)}; });
}

constexpr const char* kUserBody =
    "Ordinates (cfs per inch) of a unit hydrograph given at every\n"
    "`duration_hours`, re-sampled linearly to the step and scaled to exactly\n"
    "one inch of excess over `area_acres`.";
constexpr Param kUserParams[] = {{.name = "ordinates", .type = "Sequence[float]"},
                                 {.name = "duration_hours", .type = "float"},
                                 {.name = "area_acres", .type = "float"},
                                 {.name = "step_hours", .type = "float"}};
constexpr Signature kUser{.name = "user_unit_hydrograph",
                          .params = kUserParams,
                          .required = 4,
                          .returns = "Values",
                          .doc_body = kUserBody};

Values user(std::vector<double> ordinates, double duration, double area, double step) {
    const double spans = static_cast<double>(ordinates.size()) * (duration / step);
    return run_computation(ordinate_work(spans), [&] {
        return Values{user_unit_hydrograph(ordinates, duration, area, step)};
    });
}

constexpr const char* kConvolveBody =
    "Direct runoff (cfs at the points) of `excess` (inches per interval) through\n"
    "unit-hydrograph `ordinates` (cfs per inch); as many points as intervals.";
constexpr Param kConvolveParams[] = {{.name = "excess", .type = "Sequence[float]"},
                                     {.name = "ordinates", .type = "Sequence[float]"}};
constexpr Signature kConvolve{.name = "convolve_unit_hydrograph",
                              .params = kConvolveParams,
                              .required = 2,
                              .returns = "Values",
                              .doc_body = kConvolveBody};

Values convolve(std::vector<double> excess, std::vector<double> ordinates) {
    const double work =
        static_cast<double>(excess.size()) * (static_cast<double>(ordinates.size()) + 4.0);
    return run_computation(work,
                           [&] { return Values{convolve_unit_hydrograph(excess, ordinates)}; });
}

PyMethodDef scs_def = function_def<&scs, kScs>();
PyMethodDef snyder_def = function_def<&snyder, kSnyder>();
PyMethodDef user_def = function_def<&user, kUser>();
PyMethodDef convolve_def = function_def<&convolve, kConvolve>();

}  // namespace

void add_event_transforms(PyObject* module) {
    add_function(module, &scs_def);
    add_function(module, &snyder_def);
    add_function(module, &user_def);
    add_function(module, &convolve_def);
}

}  // namespace rainmill::py
