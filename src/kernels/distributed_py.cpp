// Functions modclark_transform, lagged_mean_excess, kinematic_wave_routing
// and kinematic_wave_transform of rainmill_models._kernels: the distributed
// methods.
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "distributed/kinematic_wave.hpp"
#include "distributed/modclark.hpp"
#include "frame.hpp"
#include "frame_detach.hpp"
#include "kernels/builders.hpp"
#include "utils/errors.hpp"
#include "utils/values.hpp"

namespace rainmill::py {

namespace {

using Kinematic = std::tuple<Values, Values, Values>;

constexpr const char* kLaggedBody =
    "The area-weighted mean (inches per interval) of the cells' excess\n"
    "(time-major: interval t, cell c at t * cells + c), each cell lagged by\n"
    "`lags` steps (a fraction of a step split linearly between two intervals)\n"
    "with `weights` its share of the area; with `shared`, `excess` is one\n"
    "series that every cell receives.";
constexpr Param kLaggedParams[] = {{.name = "excess", .type = "Sequence[float]"},
                                   {.name = "lags", .type = "Sequence[float]"},
                                   {.name = "weights", .type = "Sequence[float]"},
                                   {.name = "shared", .type = "bool"}};
constexpr Signature kLagged{.name = "lagged_mean_excess",
                            .params = kLaggedParams,
                            .required = 4,
                            .returns = "Values",
                            .doc_body = kLaggedBody};

Values lagged(std::vector<double> excess, std::vector<double> lags, std::vector<double> weights,
              bool shared) {
    return run_computation(3.0 * static_cast<double>(excess.size()), [&] {
        return Values{lagged_mean_excess(excess, lags, weights, shared)};
    });
}

constexpr const char* kModClarkBody =
    "ModClark direct runoff (cfs at the points, one per interval): the lagged\n"
    "mean excess (see lagged_mean_excess) convolved with `reservoir`, the\n"
    "subbasin's linear reservoir as a unit hydrograph (cfs per inch).";
constexpr Param kModClarkParams[] = {{.name = "excess", .type = "Sequence[float]"},
                                     {.name = "lags", .type = "Sequence[float]"},
                                     {.name = "weights", .type = "Sequence[float]"},
                                     {.name = "reservoir", .type = "Sequence[float]"},
                                     {.name = "shared", .type = "bool"}};
constexpr Signature kModClark{.name = "modclark_transform",
                              .params = kModClarkParams,
                              .required = 5,
                              .returns = "Values",
                              .doc_body = kModClarkBody};

Values modclark(std::vector<double> excess, std::vector<double> lags, std::vector<double> weights,
                std::vector<double> reservoir, bool shared) {
    const double steps = shared || lags.empty() ? static_cast<double>(excess.size())
                                                : static_cast<double>(excess.size() / lags.size());
    return run_computation(
        3.0 * steps * static_cast<double>(lags.size()) +
            steps * static_cast<double>(reservoir.size()),
        [&] { return Values{modclark_transform(excess, lags, weights, reservoir, shared)}; });
}

KinematicShape shape_of(const std::string& shape) {
    if (shape == "trapezoid" || shape == "rectangle" || shape == "triangle") {
        return KinematicShape::trapezoid;
    }
    if (shape == "plane") return KinematicShape::plane;
    throw InvalidInput("shape: must be one of plane, trapezoid, rectangle, triangle");
}

std::size_t cells_of(std::int64_t cells) {
    if (cells < 1 || cells > 100000) throw InvalidInput("cells: must lie in [1, 100000]");
    return static_cast<std::size_t>(cells);
}

Kinematic to_values(KinematicResult&& result) {
    return {Values{std::move(result.outflow)}, Values{std::move(result.volume)},
            Values{std::move(result.storage)}};
}

constexpr const char* kRoutingBody =
    "Kinematic-wave routing of the inflow (cfs at the points, step\n"
    "`dt_seconds`) through a channel of `length` (ft), `slope`, `manning_n`\n"
    "and `shape` (trapezoid, rectangle, triangle or plane) with `bottom_width`\n"
    "(ft) and `side_slope` (H:V), cut into `cells` cells, starting in steady\n"
    "state at the first inflow. Returns the outflow at the points, the volume\n"
    "(ft^3) leaving in each interval and the storage (ft^3) at the points.";
constexpr Param kRoutingParams[] = {{.name = "inflow", .type = "Sequence[float]"},
                                    {.name = "length", .type = "float"},
                                    {.name = "slope", .type = "float"},
                                    {.name = "manning_n", .type = "float"},
                                    {.name = "shape", .type = "str"},
                                    {.name = "bottom_width", .type = "float"},
                                    {.name = "side_slope", .type = "float"},
                                    {.name = "cells", .type = "int"},
                                    {.name = "dt_seconds", .type = "float"}};
constexpr Signature kRouting{.name = "kinematic_wave_routing",
                             .params = kRoutingParams,
                             .required = 9,
                             .returns = "tuple[Values, Values, Values]",
                             .doc_body = kRoutingBody};

Kinematic routing(std::vector<double> inflow, double length, double slope, double n,
                  std::string shape, double width, double side, std::int64_t cells, double dt) {
    const KinematicSection channel{shape_of(shape), length, slope, n, width, side};
    const std::size_t count = cells_of(cells);
    return run_computation(
        1e3 * static_cast<double>(count) * static_cast<double>(inflow.size()),
        [&] { return to_values(route_kinematic_wave(inflow, channel, count, dt)); });
}

constexpr const char* kTransformBody =
    "Kinematic-wave direct runoff of excess (inches per interval over\n"
    "`area_acres`): an overland plane of `plane_length` (ft), `plane_slope` and\n"
    "`plane_n`, whose outflow enters a channel (`channel_length` ft, 0 for\n"
    "none) as lateral inflow. Returns the outflow (cfs) at the points, the\n"
    "volume (ft^3) leaving in each interval and the storage (ft^3) at the\n"
    "points; both start dry.";
constexpr Param kTransformParams[] = {{.name = "excess", .type = "Sequence[float]"},
                                      {.name = "area_acres", .type = "float"},
                                      {.name = "plane_length", .type = "float"},
                                      {.name = "plane_slope", .type = "float"},
                                      {.name = "plane_n", .type = "float"},
                                      {.name = "channel_length", .type = "float"},
                                      {.name = "channel_slope", .type = "float"},
                                      {.name = "channel_n", .type = "float"},
                                      {.name = "shape", .type = "str"},
                                      {.name = "bottom_width", .type = "float"},
                                      {.name = "side_slope", .type = "float"},
                                      {.name = "cells", .type = "int"},
                                      {.name = "dt_seconds", .type = "float"}};
constexpr Signature kTransform{.name = "kinematic_wave_transform",
                               .params = kTransformParams,
                               .required = 13,
                               .returns = "tuple[Values, Values, Values]",
                               .doc_body = kTransformBody};

Kinematic transform(std::vector<double> excess, double area, double plane_length,
                    double plane_slope, double plane_n, double channel_length, double channel_slope,
                    double channel_n, std::string shape, double width, double side,
                    std::int64_t cells, double dt) {
    const KinematicSection plane{
        KinematicShape::plane, plane_length, plane_slope, plane_n, 1.0, 0.0};
    const KinematicSection channel{shape_of(shape), channel_length, channel_slope,
                                   channel_n,       width,          side};
    const std::size_t count = cells_of(cells);
    return run_computation(
        2e3 * static_cast<double>(count) * static_cast<double>(excess.size()), [&] {
            return to_values(kinematic_wave_transform(excess, area, plane, channel, count, dt));
        });
}

PyMethodDef lagged_def = function_def<&lagged, kLagged>();
PyMethodDef modclark_def = function_def<&modclark, kModClark>();
PyMethodDef routing_def = function_def<&routing, kRouting>();
PyMethodDef transform_def = function_def<&transform, kTransform>();

}  // namespace

void add_distributed_methods(PyObject* module) {
    add_function(module, &lagged_def);
    add_function(module, &modclark_def);
    add_function(module, &routing_def);
    add_function(module, &transform_def);
}

}  // namespace rainmill::py
