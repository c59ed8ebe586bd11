#include "baseflow/linear_reservoir.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

// cfs delivered by one inch of depth per hour over one acre.
constexpr double kCfsPerAcreInchPerHour = 1.00833;

// Rounding slack on the fraction sum, so that layers meant to split the whole
// infiltration (0.1 + 0.2 + 0.7, ...) are not refused over the last bit.
constexpr double kFractionSumLimit = 1.000001;

constexpr double kSecondsPerHour = 3600.0;

// WorkMeter units of one reservoir's update (a dependent multiply-add), and
// the longest chain counted as such.
constexpr std::int64_t kUnitsPerReservoir = 3;
constexpr std::size_t kLongestChain = std::size_t{1} << 32;

ContinuousTimeSeries discharge_series(std::vector<double> data, std::int32_t time_step) {
    ContinuousTimeSeries series;
    series.data = std::move(data);
    series.kind = "discharge";
    series.time_step = time_step;
    return series;
}

}  // namespace

LinearReservoir LinearReservoir::create(Duration k_duration, double gw_fraction, double initial_q,
                                        std::size_t num_reservoir) {
    const std::int32_t k_seconds = k_duration.whole_seconds_saturated();
    if (k_seconds < 1) throw InvalidInput("k_duration must be > 0");
    // Two ordered comparisons: a NaN fraction is let through and stored.
    if (gw_fraction < 0.0 || gw_fraction > 1.0) {
        throw InvalidInput("gw_fraction must be between 0 and 1");
    }
    if (num_reservoir == 0) throw InvalidInput("num_reservoir must be at least 1");
    LinearReservoir layer;
    layer.gw_fraction = gw_fraction;
    layer.initial_q = initial_q;
    layer.k_duration = k_seconds;
    layer.num_reservoir = num_reservoir;
    return layer;
}

LinearReservoirResult run_linear_reservoir(double basin_area, const IncrementalTimeSeries& rainfall,
                                           const NamedList<LinearReservoir>& reservoirs) {
    refuse_duplicate_names(reservoirs, "layer");
    if (!reservoirs.empty()) {
        double fraction_sum = 0.0;
        for (const auto& entry : reservoirs) fraction_sum += entry.second.gw_fraction;
        // A NaN sum compares false and passes, as the fractions themselves do.
        if (fraction_sum > kFractionSumLimit) {
            throw InvalidInput("Total fraction " + format_number(fraction_sum) + " > 1.0");
        }
    }

    const std::vector<double>& depths = rainfall.data;
    const std::size_t steps = depths.size();

    LinearReservoirResult result;
    result.per_layer.reserve(reservoirs.size());
    std::vector<double> total(steps, 0.0);

    const double area_factor = basin_area * kCfsPerAcreInchPerHour;
    const double dt_hours = static_cast<double>(rainfall.time_step) / kSecondsPerHour;
    const double half_step = 0.5 * dt_hours;

    std::vector<double> chain;
    WorkMeter meter;
    for (const auto& [name, layer] : reservoirs) {
        // A chain of zero reservoirs (possible through the setter) makes this
        // infinite: the check passes, C is 0 and the layer passes its inflow on.
        const double k_per_reservoir = static_cast<double>(layer.k_duration) / kSecondsPerHour /
                                       static_cast<double>(layer.num_reservoir);
        if (half_step > k_per_reservoir) {
            throw InvalidInput("Stability Error: k_per_res (" + format_fixed4(k_per_reservoir) +
                               ") < 0.5*dt (" + format_fixed4(half_step) +
                               "). Increase k_hr or num_reservoir.");
        }
        const double c = dt_hours / (k_per_reservoir + half_step);
        const double d = 1.0 - c;

        chain.assign(layer.num_reservoir, layer.initial_q);
        std::vector<double> output(steps);
        const double fraction = layer.gw_fraction;
        const std::int64_t units_per_step =
            kUnitsPerReservoir * static_cast<std::int64_t>(std::min(chain.size(), kLongestChain)) +
            1;
        meter.in_pieces(0, steps, units_per_step, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                // Depth share per hour first, then to cfs: this grouping fixes the last bits.
                double flow = ((depths[i] * fraction) / dt_hours) * area_factor;
                for (double& storage : chain) {
                    storage = storage * d + flow * c;
                    flow = storage;
                }
                output[i] = flow;
            }
        });
        for (std::size_t i = 0; i < steps; ++i) total[i] = output[i] + total[i];
        result.per_layer.emplace_back(name,
                                      discharge_series(std::move(output), rainfall.time_step));
    }

    result.total = discharge_series(std::move(total), rainfall.time_step);
    return result;
}

}  // namespace rainmill
