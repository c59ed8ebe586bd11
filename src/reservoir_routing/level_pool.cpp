#include "reservoir_routing/level_pool.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

ContinuousTimeSeries make_series(std::vector<double> data, const char* kind,
                                 std::int32_t time_step) {
    return ContinuousTimeSeries{std::move(data), kind, time_step};
}

}  // namespace

LevelPoolResult run_level_pool_routing(const ContinuousTimeSeries& inflow,
                                       double initial_elevation,
                                       const ElevationStorage& elevation_storage,
                                       const NamedList<DischargeInfo>& discharge_info) {
    if (inflow.data.empty()) throw InvalidInput("inflow has no values.");
    // A NaN inflow would make the storage NaN, which the routing clamps to
    // zero: the reservoir would silently empty.
    for (std::size_t i = 0; i < inflow.data.size(); ++i) {
        if (std::isnan(inflow.data[i])) {
            throw InvalidInput("inflow is NaN at index " +
                               format_integer(static_cast<std::int64_t>(i)) + ".");
        }
    }
    refuse_duplicate_names(discharge_info, "outlet");
    if (inflow.time_step < 1) {
        throw InternalFailure("level-pool routing needs an inflow time step of at least 1 s");
    }
    const std::size_t n = inflow.data.size();
    const std::int64_t output_step = inflow.time_step;
    const std::int64_t span = output_step * static_cast<std::int64_t>(n - 1);
    // One-second internal steps: the mass balance is integrated per second
    // whatever the inflow's own step.
    constexpr double step = 1.0;

    std::vector<double> storages;
    std::vector<double> elevations;
    std::vector<double> total_outflows;
    storages.reserve(n);
    elevations.reserve(n);
    total_outflows.reserve(n);
    std::vector<std::vector<double>> outlet_outflows(discharge_info.size());
    for (std::vector<double>& outflows : outlet_outflows) outflows.reserve(n);

    elevations.push_back(initial_elevation);
    double storage = elevation_storage.get_storage(initial_elevation);
    storages.push_back(storage);
    double elevation = initial_elevation;
    double previous_inflow = inflow.data.front();

    const std::size_t outlet_count = discharge_info.size();
    // One lookup cursor per rating curve: the pool moves little from one
    // second to the next, so lookups mostly stay in the previous interval.
    std::vector<KnotCursor> outlet_cursors(outlet_count);
    KnotCursor storage_cursor;
    std::int64_t until_output = 0;  // internal steps left before the next output time
    WorkMeter meter;
    const auto units_per_step = static_cast<std::int64_t>(4 + 4 * outlet_count);
    meter.in_pieces(0, static_cast<std::size_t>(span) + 1, units_per_step,
                    [&](std::size_t first, std::size_t last) {
    for (auto t = static_cast<std::int64_t>(first); t < static_cast<std::int64_t>(last); ++t) {
        const bool output_time = until_output == 0;
        until_output = output_time ? output_step - 1 : until_output - 1;

        // Outflow at the elevation the previous internal time left behind,
        // summed in the caller's outlet order so the last bits never vary.
        double outflow = 0.0;
        for (std::size_t j = 0; j < outlet_count; ++j) {
            const double q = std::visit(
                [&](const auto& outlet) {
                    const std::optional<std::int64_t> clock(t);
                    if constexpr (requires { outlet.get_discharge(elevation, clock, outlet_cursors[j]); }) {
                        return outlet.get_discharge(elevation, clock, outlet_cursors[j]);
                    } else {
                        return outlet.get_discharge(elevation, clock);
                    }
                },
                discharge_info[j].second);
            outflow += q;
            if (output_time) outlet_outflows[j].push_back(q);
        }
        if (output_time) total_outflows.push_back(outflow);
        // The initial state already stands at time 0.
        if (t == 0) continue;

        const double current_inflow = inflow.get_value(static_cast<double>(t));
        // Trapezoidal inflow volume first, then the outflow volume taken off:
        // this grouping fixes the last bits of the storage.
        const double inflow_volume = ((previous_inflow + current_inflow) * 0.5) * step;
        const double filled = storage + inflow_volume;
        storage = filled - (outflow * step);
        if (!(storage > 0.0)) storage = 0.0;  // also catches a NaN storage
        elevation = elevation_storage.get_elevation(storage, storage_cursor);
        if (output_time) {
            storages.push_back(storage);
            elevations.push_back(elevation);
        }
        previous_inflow = current_inflow;
    }
                    });

    const std::int32_t time_step = inflow.time_step;
    LevelPoolResult result{make_series(std::move(storages), "volume", time_step),
                           make_series(std::move(elevations), "elevation", time_step),
                           make_series(std::move(total_outflows), "discharge", time_step),
                           {}};
    result.reservoir_individual_outflows.reserve(outlet_count);
    for (std::size_t j = 0; j < outlet_count; ++j) {
        result.reservoir_individual_outflows.emplace_back(
            discharge_info[j].first,
            make_series(std::move(outlet_outflows[j]), "discharge", time_step));
    }
    return result;
}

}  // namespace rainmill
