// Muskingum channel routing: the single routing pass (shared with the Clark
// unit hydrograph's linear reservoir) and the routing of a whole reach split
// into equal sub-reaches.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "utils/duration.hpp"
#include "utils/time_series.hpp"

namespace rainmill {

// Text of the warning for a weighting factor outside [0, 0.5].
inline constexpr std::string_view kMuskingumRangeWarning =
    "`x` is outside the recommended range [0.0, 0.5].";

// True when `x` lies outside [0.0, 0.5] or is NaN; the routing still runs.
[[nodiscard]] bool muskingum_x_out_of_range(double x);

// One Muskingum pass over `inflow` with time step `dt` and storage constant
// `k` (both seconds) and weighting factor `x`. The first outflow is
// `first_outflow` when given, else the first inflow. Returns as many outflows
// as inflows; an empty inflow is an InternalFailure, since the pass has no
// first value to start from.
[[nodiscard]] std::vector<double> route_muskingum_pass(const std::vector<double>& inflow, double dt,
                                                       double k, double x,
                                                       std::optional<double> first_outflow);

// Routes `inflow` through a reach of storage constant `k` (seconds, whole
// reach) cut into `sub_reaches` equal segments: >= 2 gives that many passes,
// anything smaller exactly one. Each segment uses k / sub_reaches.
[[nodiscard]] std::vector<double> route_muskingum_reach(const std::vector<double>& inflow,
                                                        double dt, double k, double x,
                                                        std::int64_t sub_reaches,
                                                        double initial_outflow);

// The reach routing on series: the outflow hydrograph with the inflow's time
// step and kind "discharge". The range warning is the caller's business.
[[nodiscard]] ContinuousTimeSeries run_muskingum_routing(const ContinuousTimeSeries& inflow,
                                                         Duration k, double x,
                                                         std::int64_t sub_reaches,
                                                         double initial_outflow);

}  // namespace rainmill
