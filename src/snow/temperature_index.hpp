// Snow by temperature index: precipitation split into rain and snow by a
// threshold temperature (optionally over a transition range), degree-day
// melt above a base temperature with a rate that may vary through the year,
// liquid water held in the pack up to a fraction of its ice and refreezing
// below the base, optionally over elevation zones with a temperature lapse rate.
#pragma once

#include <vector>

namespace rainmill {

// Temperatures in degrees Celsius, melt rates in inches per degree Celsius
// per day, elevations in metres, the lapse rate in degrees Celsius per
// 1000 m (positive: colder upward).
struct SnowParameters {
    double threshold;            // at or below it precipitation falls as snow
    double transition;           // width of the mixed range centred on threshold; 0: sharp
    double base;                 // melt above, refreezing below
    double melt_rate_min;        // at the winter solstice (day 355 of the year)
    double melt_rate_max;        // at the summer solstice; equal to the minimum: constant
    double refreeze_fraction;    // refreezing rate as a fraction of the melt rate
    double liquid_fraction;      // liquid water held, as a fraction of the ice
    double lapse_rate;           // zone temperature = temperature - lapse_rate * (z - z_ref) / 1000
    double reference_elevation;  // of the temperature series
    std::vector<double> zone_elevations;
    std::vector<double> zone_fractions;  // of the subbasin's area, summing to 1
};

// Fluxes per interval (N values, inches, area-weighted over the zones),
// storages at the points (N + 1 values) and each zone's final storages.
struct SnowResult {
    std::vector<double> liquid;    // rain and melt leaving the pack
    std::vector<double> snowfall;  // precipitation falling as snow
    std::vector<double> melt;
    std::vector<double> refreeze;
    std::vector<double> ice;           // frozen water equivalent of the pack
    std::vector<double> liquid_water;  // liquid water held in the pack
    std::vector<double> final_ice;     // per zone
    std::vector<double> final_liquid;  // per zone
};

// `precipitation` in inches per interval and `temperature` (interval means)
// of one length; `start_day` is the day of the year (0 = 1 January 00:00) of
// the first point. `initial_ice` and `initial_liquid` hold one value per zone.
// Checked first: InvalidInput names the first value out of its range.
[[nodiscard]] SnowResult run_temperature_index_snow(const std::vector<double>& precipitation,
                                                    const std::vector<double>& temperature,
                                                    double step_hours, double start_day,
                                                    const SnowParameters& parameters,
                                                    const std::vector<double>& initial_ice,
                                                    const std::vector<double>& initial_liquid);

}  // namespace rainmill
