// An outlet releasing a prescribed, time-varying rate.
#pragma once

#include <cstdint>
#include <optional>

#include "utils/time_series.hpp"

namespace rainmill {

struct SpecifiedDischargeInfo {
    ContinuousTimeSeries discharge;  // sampled by elapsed seconds; its kind is not looked at
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    std::optional<double> maximum_release;

    // The series' value at `duration_secs`, capped by `maximum_release`, or
    // 0.0 with the gate shut. InvalidCall without a clock; InvalidInput when
    // the gate is open and the time lies beyond the series (or it has no points).
    [[nodiscard]] double get_discharge(double elevation,
                                       std::optional<std::int64_t> duration_secs) const;
};

}  // namespace rainmill
