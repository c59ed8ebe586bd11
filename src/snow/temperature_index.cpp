#include "snow/temperature_index.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <numbers>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/memory_limit.hpp"
#include "utils/series_block.hpp"

namespace rainmill {

namespace {

inline double smaller(double a, double b) { return b < a ? b : a; }
inline double larger(double a, double b) { return b > a ? b : a; }

void check_snow(const std::vector<double>& precipitation, const std::vector<double>& temperature,
                double step_hours, double start_day, const SnowParameters& p,
                const std::vector<double>& initial_ice, const std::vector<double>& initial_liquid) {
    require_positive("step_hours", step_hours);
    require_finite("start_day", start_day);
    require_finite("threshold", p.threshold);
    require_non_negative("transition", p.transition);
    require_finite("base", p.base);
    require_non_negative("melt_rate_min", p.melt_rate_min);
    require_non_negative("melt_rate_max", p.melt_rate_max);
    if (p.melt_rate_max < p.melt_rate_min) {
        throw InvalidInput("melt_rate_max must be >= melt_rate_min.");
    }
    require_non_negative("refreeze_fraction", p.refreeze_fraction);
    require_between("liquid_fraction", p.liquid_fraction, 0.0, 1.0);
    require_finite("lapse_rate", p.lapse_rate);
    require_finite("reference_elevation", p.reference_elevation);
    if (p.zone_elevations.empty()) throw InvalidInput("zone_elevations must not be empty.");
    require_finite_series("zone_elevations", p.zone_elevations);
    require_same_length("zone_fractions", p.zone_fractions, "zone_elevations",
                        p.zone_elevations.size());
    require_depths("zone_fractions", p.zone_fractions);
    double total = 0.0;
    for (const double fraction : p.zone_fractions) total += fraction;
    if (!(std::fabs(total - 1.0) <= 1e-9)) {
        throw InvalidInput("zone_fractions must sum to 1.");
    }
    require_same_length("initial_ice", initial_ice, "zone_elevations", p.zone_elevations.size());
    require_depths("initial_ice", initial_ice);
    require_same_length("initial_liquid", initial_liquid, "zone_elevations",
                        p.zone_elevations.size());
    require_depths("initial_liquid", initial_liquid);
    require_depths("precipitation", precipitation);
    require_same_length("temperature", temperature, "precipitation", precipitation.size());
    require_finite_series("temperature", temperature);
}

// What one zone's intervals need, copied into locals of the loop.
struct ZoneConstants {
    double threshold;
    double transition;
    double upper;  // threshold + transition * 0.5
    bool sharp;
    double base;
    double refreeze_fraction;
    double liquid_fraction;
    double offset;    // lapse_rate * ((z - z_ref) / 1000)
    double fraction;  // of the area
};

// One zone's intervals [first, last), added to the totals of the block
// (N = n); the pack's storages are locals, so stores into the block reload
// nothing.
// Not inlined: inlined into the caller, whose storages outlive the call in
// memory, the compiler would store and reload them at every interval.
[[gnu::noinline]] void snow_zone_steps(const double* precipitation, const double* temperature,
                                       std::size_t n, double* block, std::size_t first,
                                       std::size_t last, const ZoneConstants c, double* zone_ice,
                                       double* zone_water, double& ice_state, double& water_state) {
    double* const liquid_out = block;
    double* const snowfall_out = liquid_out + n;
    double* const melt_out = snowfall_out + n;
    double* const refreeze_out = melt_out + n;
    const double* const factor = refreeze_out + n;
    double* const ice_out = refreeze_out + 2 * n;
    double* const water_out = ice_out + (n + 1);
    double ice = ice_state;
    double water = water_state;
    for (std::size_t i = first; i < last; ++i) {
        const double t = temperature[i] - c.offset;
        const double share = c.sharp ? static_cast<double>(t <= c.threshold)
                                     : smaller(larger((c.upper - t) / c.transition, 0.0), 1.0);
        const double snowfall = precipitation[i] * share;
        const double rain = precipitation[i] - snowfall;
        ice = ice + snowfall;
        double melt = 0.0;
        double refreeze = 0.0;
        if (t > c.base) {
            melt = smaller(factor[i] * (t - c.base), ice);
            ice = ice - melt;
            water = water + melt;
        } else {
            refreeze = smaller(c.refreeze_fraction * factor[i] * (c.base - t), water);
            water = water - refreeze;
            ice = ice + refreeze;
        }
        water = water + rain;
        const double outflow = larger(water - c.liquid_fraction * ice, 0.0);
        water = water - outflow;
        liquid_out[i] = liquid_out[i] + c.fraction * outflow;
        snowfall_out[i] = snowfall_out[i] + c.fraction * snowfall;
        melt_out[i] = melt_out[i] + c.fraction * melt;
        refreeze_out[i] = refreeze_out[i] + c.fraction * refreeze;
        ice_out[i + 1] = ice_out[i + 1] + c.fraction * ice;
        water_out[i + 1] = water_out[i + 1] + c.fraction * water;
        if (zone_ice != nullptr) {
            zone_ice[i + 1] = ice;
            zone_water[i + 1] = water;
        }
    }
    ice_state = ice;
    water_state = water;
}

}  // namespace

// The degree-day factor of interval i (inches per degree Celsius per
// interval), from the melt rate at the middle of the interval:
//   day = start_day + ((i + 0.5) * dt) / 24
//   rate = (max + min) * 0.5 + (max - min) * 0.5 * sin(2*pi * ((day - 80) / 365.25))
//   factor = rate * (dt / 24)
// with days counted from 2000-01-01 00:00: the sine is zero at the March
// equinox (2000-03-21, day 80), largest at the June solstice, and keeps the
// mean year's length (the calendar's drift over decades stays under a day).
// Zones run one after the other; within a zone, each interval in this order:
//   t = temperature - lapse_rate * ((z - z_ref) / 1000)   (the offset computed once per zone)
//   snow share = transition > 0 ? min(max((threshold + transition*0.5 - t) / transition, 0), 1)
//                               : (t <= threshold ? 1 : 0)
//   snowfall = p * share; rain = p - snowfall; ice += snowfall
//   t > base:  melt = min(factor * (t - base), ice); ice -= melt; water += melt
//   otherwise: refreeze = min(refreeze_fraction * factor * (base - t), water);
//              water -= refreeze; ice += refreeze
//   water += rain; outflow = max(water - liquid_fraction * ice, 0); water -= outflow
// and each flux and storage is added to the totals as fraction * value, zone by zone
// (the totals start at 0).
SnowResult run_temperature_index_snow(const std::vector<double>& precipitation,
                                      const std::vector<double>& temperature, double step_hours,
                                      double start_day, const SnowParameters& p,
                                      const std::vector<double>& initial_ice,
                                      const std::vector<double>& initial_liquid,
                                      bool zone_storages) {
    check_snow(precipitation, temperature, step_hours, start_day, p, initial_ice, initial_liquid);
    const std::size_t n = precipitation.size();
    const std::size_t zones = p.zone_elevations.size();
    SnowResult r;
    r.steps = n;
    r.zones = zones;
    const bool keep_zones = zone_storages && zones > 1;
    // Sized by the zones as well as the steps: refused up front when the
    // process could not get it, before anything is computed.
    constexpr std::size_t kMaxValues = std::numeric_limits<std::size_t>::max() / sizeof(double);
    const std::size_t per_series = n + 1;
    if (keep_zones && (zones > kMaxValues / 2 / per_series ||
                       2 * zones * per_series > allocatable_bytes_limit() / sizeof(double))) {
        throw std::bad_alloc();
    }
    const std::size_t zone_series = keep_zones ? 2 * zones * per_series : 0;
    WorkMeter meter;
    r.block = allocate_series_block(5 * n + 2 * (n + 1) + zone_series, meter);
    double* const liquid_out = r.block.data();
    double* const snowfall_out = liquid_out + n;
    double* const melt_out = snowfall_out + n;
    double* const refreeze_out = melt_out + n;
    double* const factor = refreeze_out + n;
    double* const ice_out = factor + n;
    double* const water_out = ice_out + (n + 1);
    double* const zone_out = keep_zones ? water_out + (n + 1) : nullptr;

    const double mean_rate = (p.melt_rate_max + p.melt_rate_min) * 0.5;
    const double half_range = (p.melt_rate_max - p.melt_rate_min) * 0.5;
    const double step_days = step_hours / 24.0;
    meter.in_pieces(0, n, 30, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const double day = start_day + ((static_cast<double>(i) + 0.5) * step_hours) / 24.0;
            const double rate =
                mean_rate + half_range * std::sin(2.0 * std::numbers::pi * ((day - 80.0) / 365.25));
            factor[i] = rate * step_days;
        }
    });

    const bool sharp = !(p.transition > 0.0);
    const double upper = p.threshold + p.transition * 0.5;
    for (std::size_t z = 0; z < zones; ++z) {
        const double fraction = p.zone_fractions[z];
        const double offset =
            p.lapse_rate * ((p.zone_elevations[z] - p.reference_elevation) / 1000.0);
        double ice = initial_ice[z];
        double water = initial_liquid[z];
        ice_out[0] = ice_out[0] + fraction * ice;
        water_out[0] = water_out[0] + fraction * water;
        // Each zone's own storages, when there are several (for hot starts).
        double* const zone_ice = zone_out == nullptr ? nullptr : zone_out + 2 * z * (n + 1);
        double* const zone_water = zone_out == nullptr ? nullptr : zone_ice + (n + 1);
        if (zone_ice != nullptr) {
            zone_ice[0] = ice;
            zone_water[0] = water;
        }
        const ZoneConstants zone{p.threshold,         p.transition,      upper,  sharp,   p.base,
                                 p.refreeze_fraction, p.liquid_fraction, offset, fraction};
        meter.in_pieces(0, n, 25, [&](std::size_t first, std::size_t last) {
            snow_zone_steps(precipitation.data(), temperature.data(), n, r.block.data(), first,
                            last, zone, zone_ice, zone_water, ice, water);
        });
    }
    return r;
}

}  // namespace rainmill
