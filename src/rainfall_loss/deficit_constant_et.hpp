// Deficit and constant loss with evapotranspiration, the continuous form of
// the deficit-and-constant loss: the deficit recovers by the
// evapotranspiration demand (potential ET times a coefficient) in the
// intervals without rain, up to the maximum deficit.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace rainmill {

// Depths in inches, the constant rate in inches per hour.
struct DeficitConstantEtParameters {
    double max_deficit;
    double constant_rate;   // percolation while it rains, to the baseflow
    double et_coefficient;  // share of the potential ET the soil loses
};

// excess, percolation (the constant loss, to the baseflow) and et (the
// deficit's recovery) per interval (N values each), then the deficit at the
// points (N + 1 values), in one block.
inline constexpr std::array<const char*, 3> kDeficitEtFluxes = {"excess", "percolation", "et"};

struct DeficitConstantEtResult {
    std::size_t steps = 0;
    std::vector<double> block;
};

// `water` and `pet` in inches per interval, one length; checked first.
[[nodiscard]] DeficitConstantEtResult run_deficit_constant_et(
    const std::vector<double>& water, const std::vector<double>& pet, double step_hours,
    const DeficitConstantEtParameters& parameters, double initial_deficit);

}  // namespace rainmill
