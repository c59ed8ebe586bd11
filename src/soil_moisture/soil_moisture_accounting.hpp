// Soil-moisture accounting for continuous runs: five storages (canopy,
// surface depression, soil profile with an upper tension zone, two
// groundwater layers) after Leavesley et al. (1983), driven by the water
// reaching the ground and the potential evapotranspiration of each interval.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace rainmill {

// Capacities in inches, rates in inches per hour, storage coefficients in
// hours. A groundwater layer of zero capacity is absent: nothing percolates
// into it.
struct SoilMoistureParameters {
    double canopy_max;        // interception capacity
    double surface_max;       // surface depression capacity
    double soil_max;          // soil profile capacity (> 0)
    double tension_max;       // upper tension zone, part of soil_max
    double max_infiltration;  // infiltration rate into an empty soil
    double soil_percolation;  // soil -> groundwater 1 rate of a full soil into an empty layer
    double gw1_max;
    double gw1_percolation;  // groundwater 1 -> groundwater 2 rate, full into empty
    double gw1_coefficient;  // linear-reservoir storage coefficient of the outflow
    double gw2_max;
    double gw2_percolation;  // deep percolation rate of a full groundwater 2 (leaves the basin)
    double gw2_coefficient;
};

// Storages in inches.
struct SoilMoistureStates {
    double canopy;
    double surface;
    double soil;
    double gw1;
    double gw2;
};

// Fluxes per interval (N values each, inches) and storages at the points
// (N + 1 values each, the first the initial state), in one block: flux k of
// kSoilMoistureFluxes at block[k * N + i], then storage j of
// kSoilMoistureStorages at block[10 * N + j * (N + 1) + i].
inline constexpr std::array<const char*, 10> kSoilMoistureFluxes = {
    "excess",            // to the transform
    "gw1_outflow",       // to the baseflow
    "gw2_outflow",       // to the baseflow
    "canopy_et",         // evapotranspiration from the canopy
    "surface_et",        // from surface depressions
    "soil_et",           // from the soil profile
    "infiltration",      // surface -> soil
    "percolation",       // soil -> groundwater 1
    "gw_percolation",    // groundwater 1 -> groundwater 2
    "deep_percolation",  // groundwater 2 -> out of the basin
};
inline constexpr std::array<const char*, 5> kSoilMoistureStorages = {"canopy", "surface", "soil",
                                                                     "gw1", "gw2"};

struct SoilMoistureResult {
    std::size_t steps = 0;
    std::vector<double> block;
};

// Throws InvalidInput naming the first parameter, state or input out of its
// range; the run itself checks nothing.
void check_soil_moisture(const std::vector<double>& water, const std::vector<double>& pet,
                         double step_hours, const SoilMoistureParameters& parameters,
                         const SoilMoistureStates& initial);

// `water` (rain and melt reaching the canopy) and `pet` (potential
// evapotranspiration) in inches per interval, one length. Checked first.
[[nodiscard]] SoilMoistureResult run_soil_moisture(const std::vector<double>& water,
                                                   const std::vector<double>& pet,
                                                   double step_hours,
                                                   const SoilMoistureParameters& parameters,
                                                   const SoilMoistureStates& initial);

}  // namespace rainmill
