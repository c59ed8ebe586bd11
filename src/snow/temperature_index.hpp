// Snow by temperature index: precipitation split into rain and snow by a
// threshold temperature (optionally over a transition range), degree-day
// melt above a base temperature with a rate that may vary through the year,
// liquid water held in the pack up to a fraction of its ice and refreezing
// below the base, optionally over elevation zones with a temperature lapse rate.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace rainmill {

// Temperatures in degrees Celsius, melt rates in inches per degree Celsius
// per day, elevations in metres, the lapse rate in degrees Celsius per
// 1000 m (positive: colder upward).
struct SnowParameters {
    double threshold;            // at or below it precipitation falls as snow
    double transition;           // width of the mixed range centred on threshold; 0: sharp
    double base;                 // melt above, refreezing below
    double melt_rate_min;        // at the winter solstice
    double melt_rate_max;        // at the summer solstice; equal to the minimum: constant
    double refreeze_fraction;    // refreezing rate as a fraction of the melt rate
    double liquid_fraction;      // liquid water held, as a fraction of the ice
    double lapse_rate;           // zone temperature = temperature - lapse_rate * (z - z_ref) / 1000
    double reference_elevation;  // of the temperature series
    std::vector<double> zone_elevations;
    std::vector<double> zone_fractions;  // of the subbasin's area, summing to 1
};

// Fluxes per interval (N values each, inches, area-weighted over the zones)
// and storages at the points (N + 1 values each), in one block: series k of
// kSnowFluxes at block[k * N + i], storage j of kSnowStorages at
// block[5 * N + j * (N + 1) + i]; with several zones and `zone_storages`, then
// each zone's own ice and liquid water at the points (zone z's ice at
// 5 * N + (2 + 2 * z) * (N + 1)): memory in proportion to zones x steps, which
// a hot start needs and a long run of many zones may not afford.
inline constexpr std::array<const char*, 5> kSnowFluxes = {
    "liquid",       // rain and melt leaving the pack
    "snowfall",     // precipitation falling as snow
    "melt",         //
    "refreeze",     //
    "melt_factor",  // degree-day factor of the interval, inches per degree Celsius
};
inline constexpr std::array<const char*, 2> kSnowStorages = {
    "ice",           // frozen water equivalent of the pack
    "liquid_water",  // liquid water held in the pack
};

struct SnowResult {
    std::size_t steps = 0;
    std::size_t zones = 0;  // zone storages in the block when more than one
    std::vector<double> block;
};

// `precipitation` in inches per interval and `temperature` (interval means)
// of one length; `start_day` is the first point's time in days since
// 2000-01-01 00:00 (any sign): the season of every interval follows from it,
// so a run started where another ended sees the same seasons. `initial_ice` and `initial_liquid`
// hold one value per zone. Checked first: InvalidInput names the first value out of its range.
[[nodiscard]] SnowResult run_temperature_index_snow(const std::vector<double>& precipitation,
                                                    const std::vector<double>& temperature,
                                                    double step_hours, double start_day,
                                                    const SnowParameters& parameters,
                                                    const std::vector<double>& initial_ice,
                                                    const std::vector<double>& initial_liquid,
                                                    bool zone_storages);

}  // namespace rainmill
