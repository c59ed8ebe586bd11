// Deficit and constant loss with evapotranspiration, the continuous form of
// the deficit-and-constant loss: the deficit recovers by the
// evapotranspiration demand (potential ET times a coefficient) in the
// intervals without rain, up to the maximum deficit.
#pragma once

#include <vector>

namespace rainmill {

// Depths in inches, the constant rate in inches per hour.
struct DeficitConstantEtParameters {
    double max_deficit;
    double constant_rate;   // percolation while it rains, to the baseflow
    double et_coefficient;  // share of the potential ET the soil loses
};

struct DeficitConstantEtResult {
    std::vector<double> excess;       // per interval, to the transform
    std::vector<double> percolation;  // the constant loss, to the baseflow
    std::vector<double> et;           // evapotranspiration (deficit recovery)
    std::vector<double> deficit;      // at the points (N + 1 values)
};

// `water` and `pet` in inches per interval, one length; checked first.
[[nodiscard]] DeficitConstantEtResult run_deficit_constant_et(
    const std::vector<double>& water, const std::vector<double>& pet, double step_hours,
    const DeficitConstantEtParameters& parameters, double initial_deficit);

}  // namespace rainmill
