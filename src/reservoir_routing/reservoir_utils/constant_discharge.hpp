// An outlet releasing a fixed rate, optionally gated by elevation.
#pragma once

#include <cstdint>
#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace rainmill {

struct ConstantDischargeInfo {
    double discharge = 0.0;
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;

    // `discharge`, or 0.0 with the gate shut; the clock is not used.
    [[nodiscard]] double get_discharge(double elevation,
                                       std::optional<std::int64_t> /*duration_secs*/) const {
        if (outlet_detail::gate_shut(elevation, minimum_elevation, maximum_elevation)) return 0.0;
        return discharge;
    }
};

}  // namespace rainmill
