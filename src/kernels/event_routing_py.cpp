// Functions lag_routing, muskingum_cunge_routing, muskingum_cunge_cell and
// modified_puls_routing of rainmill_models._kernels.
#include <cstdint>
#include <vector>

#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/event_builders.hpp"
#include "reach_routing/lag.hpp"
#include "reach_routing/modified_puls.hpp"
#include "reach_routing/muskingum_cunge.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kLagBody =
    "The inflow (cfs at the points) delayed by `lag_hours`: whole steps shift\n"
    "it, a fraction of a step interpolates linearly between two inflows; the\n"
    "inflow before the first point is the first inflow.";
constexpr Param kLagParams[] = {{.name = "inflow", .type = "Sequence[float]"},
                                {.name = "lag_hours", .type = "float"},
                                {.name = "step_hours", .type = "float"}};
constexpr Signature kLag{.name = "lag_routing",
                         .params = kLagParams,
                         .required = 3,
                         .returns = "Values",
                         .doc_body = kLagBody};

Values lag(std::vector<double> inflow, double lag_hours, double step_hours) {
    return run_computation(2.0 * static_cast<double>(inflow.size()),
                           [&] { return Values{route_lag(inflow, lag_hours, step_hours)}; });
}

constexpr const char* kCungeBody =
    "Variable-parameter Muskingum–Cunge routing (three-point reference flow)\n"
    "of the inflow (cfs at the points, step `dt_seconds`) through a prismatic\n"
    "trapezoidal channel: `length` (ft), `slope` (ft/ft), `manning_n`,\n"
    "`bottom_width` (ft), `side_slope` (horizontal per vertical). Sub-reaches\n"
    "by Ponce and Theurer (1982), internal steps keeping the Courant number\n"
    "at or below 1 at the peak.";
constexpr Param kCungeParams[] = {{.name = "inflow", .type = "Sequence[float]"},
                                  {.name = "length", .type = "float"},
                                  {.name = "slope", .type = "float"},
                                  {.name = "manning_n", .type = "float"},
                                  {.name = "bottom_width", .type = "float"},
                                  {.name = "side_slope", .type = "float"},
                                  {.name = "dt_seconds", .type = "float"}};
constexpr Signature kCunge{.name = "muskingum_cunge_routing",
                           .params = kCungeParams,
                           .required = 7,
                           .returns = "Values",
                           .doc_body = kCungeBody};

Values cunge(std::vector<double> inflow, double length, double slope, double n, double width,
             double side, double dt) {
    const PrismaticChannel channel{length, slope, n, width, side};
    // The grid is known only inside; any reach with a few sub-reaches is worth detaching.
    return run_computation(2000.0 * static_cast<double>(inflow.size()),
                           [&] { return Values{route_muskingum_cunge(inflow, channel, dt)}; });
}

constexpr const char* kCellBody =
    "One Muskingum–Cunge cell with constant parameters: the Courant number\n"
    "`courant` and cell Reynolds number `cell_reynolds` of a reference flow\n"
    "give the coefficients; the first outflow is the first inflow.";
constexpr Param kCellParams[] = {{.name = "inflow", .type = "Sequence[float]"},
                                 {.name = "courant", .type = "float"},
                                 {.name = "cell_reynolds", .type = "float"}};
constexpr Signature kCell{.name = "muskingum_cunge_cell",
                          .params = kCellParams,
                          .required = 3,
                          .returns = "Values",
                          .doc_body = kCellBody};

Values cell(std::vector<double> inflow, double courant, double reynolds) {
    return run_computation(3.0 * static_cast<double>(inflow.size()),
                           [&] { return Values{route_cunge_cell(inflow, courant, reynolds)}; });
}

constexpr const char* kPulsBody =
    "Modified Puls (storage-indication) routing of the inflow (cfs at the\n"
    "points, step `dt_seconds`) through a reach's `storage` (cubic feet) and\n"
    "`outflow` (cfs) table, both strictly increasing, in `sub_reaches` equal\n"
    "segments, each starting in steady state.";
constexpr Param kPulsParams[] = {{.name = "inflow", .type = "Sequence[float]"},
                                 {.name = "storage", .type = "Sequence[float]"},
                                 {.name = "outflow", .type = "Sequence[float]"},
                                 {.name = "sub_reaches", .type = "int"},
                                 {.name = "dt_seconds", .type = "float"}};
constexpr Signature kPuls{.name = "modified_puls_routing",
                          .params = kPulsParams,
                          .required = 5,
                          .returns = "Values",
                          .doc_body = kPulsBody};

Values puls(std::vector<double> inflow, std::vector<double> storage, std::vector<double> outflow,
            std::int64_t sub_reaches, double dt) {
    const double segments = sub_reaches > 1 ? static_cast<double>(sub_reaches) : 1.0;
    return run_computation(12.0 * segments * static_cast<double>(inflow.size()), [&] {
        return Values{route_modified_puls(inflow, storage, outflow, sub_reaches, dt)};
    });
}

PyMethodDef lag_def = function_def<&lag, kLag>();
PyMethodDef cunge_def = function_def<&cunge, kCunge>();
PyMethodDef cell_def = function_def<&cell, kCell>();
PyMethodDef puls_def = function_def<&puls, kPuls>();

}  // namespace

void add_event_routing(PyObject* module) {
    add_function(module, &lag_def);
    add_function(module, &cunge_def);
    add_function(module, &cell_def);
    add_function(module, &puls_def);
}

}  // namespace rainmill::py
