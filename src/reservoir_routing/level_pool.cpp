#include "reservoir_routing/level_pool.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>
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

// One outlet as the routing loop evaluates it: its alternative resolved once,
// so that each second costs a switch and the outlet's own rule, inlined
// (the rating-curve outlets keep their lookup cursor here).
struct Outlet {
    enum class Kind { uncontrolled, controlled, specified, constant };

    Kind kind;
    const void* info;
    KnotCursor cursor;

    static Outlet of(const DischargeInfo& info) {
        const auto kind = static_cast<Kind>(info.index());
        return {kind, std::visit([](const auto& outlet) -> const void* { return &outlet; }, info),
                KnotCursor{}};
    }

    // Discharge at `elevation`, `seconds` after the start of the routing.
    double discharge(double elevation, std::int64_t seconds) {
        switch (kind) {
            case Kind::uncontrolled:
                return static_cast<const UnControlledDischargeInfo*>(info)->get_discharge(
                    elevation, seconds, cursor);
            case Kind::controlled:
                return static_cast<const ControlledDischargeInfo*>(info)->get_discharge(
                    elevation, seconds, cursor);
            case Kind::specified:
                // Its series lookup costs more than the call.
                return static_cast<const SpecifiedDischargeInfo*>(info)->get_discharge(elevation,
                                                                                       seconds);
            case Kind::constant:
                return static_cast<const ConstantDischargeInfo*>(info)->get_discharge(elevation,
                                                                                      seconds);
        }
        throw InternalFailure("unknown outlet kind in level-pool routing");
    }
};

// The alternatives' order, which the kinds above follow.
static_assert(
    std::is_same_v<std::variant_alternative_t<0, DischargeInfo>, UnControlledDischargeInfo>);
static_assert(
    std::is_same_v<std::variant_alternative_t<1, DischargeInfo>, ControlledDischargeInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<2, DischargeInfo>, SpecifiedDischargeInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<3, DischargeInfo>, ConstantDischargeInfo>);

}  // namespace

LevelPoolResult run_level_pool_routing(const ContinuousTimeSeries& inflow, double initial_elevation,
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

    std::vector<double> storages;
    std::vector<double> elevations;
    std::vector<double> total_outflows;
    storages.reserve(n);
    elevations.reserve(n);
    total_outflows.reserve(n);
    const std::size_t outlet_count = discharge_info.size();
    std::vector<std::vector<double>> outlet_outflows(outlet_count);
    for (std::vector<double>& outflows : outlet_outflows) outflows.reserve(n);
    std::vector<Outlet> outlets;
    outlets.reserve(outlet_count);
    for (const auto& entry : discharge_info) outlets.push_back(Outlet::of(entry.second));

    elevations.push_back(initial_elevation);
    // Also proves the curve has the two points every later lookup needs.
    double storage = elevation_storage.get_storage(initial_elevation);
    storages.push_back(storage);
    double elevation = initial_elevation;
    double previous_inflow = inflow.data.front();
    // The pool moves little from one second to the next, so lookups mostly
    // stay in the previous interval of each curve.
    KnotCursor storage_cursor;

    // Outflow at the elevation the previous second left behind, summed in
    // the caller's outlet order so the last bits never vary; recorded at
    // output times.
    auto outflow_at = [&]<bool Record>(std::int64_t seconds) {
        double outflow = 0.0;
        for (std::size_t j = 0; j < outlet_count; ++j) {
            const double q = outlets[j].discharge(elevation, seconds);
            outflow += q;
            if constexpr (Record) outlet_outflows[j].push_back(q);
        }
        if constexpr (Record) total_outflows.push_back(outflow);
        return outflow;
    };

    // One second of the explicit mass balance, dS = (I - O) dt with dt = 1 s.
    auto advance = [&]<bool Record>(std::int64_t seconds) {
        const double outflow = outflow_at.template operator()<Record>(seconds);
        const double current_inflow = inflow.value_within(static_cast<double>(seconds));
        // Trapezoidal inflow volume first, then the outflow volume taken off
        // (both times the one-second step): this grouping fixes the last bits.
        const double inflow_volume = ((previous_inflow + current_inflow) * 0.5) * 1.0;
        const double filled = storage + inflow_volume;
        storage = filled - (outflow * 1.0);
        if (!(storage > 0.0)) storage = 0.0;  // also catches a NaN storage
        elevation = elevation_storage.get_elevation(storage, storage_cursor);
        if constexpr (Record) {
            storages.push_back(storage);
            elevations.push_back(elevation);
        }
        previous_inflow = current_inflow;
    };

    // The initial state already stands at time 0: only its outflow is taken.
    outflow_at.template operator()<true>(0);
    std::int64_t next_output = output_step;
    WorkMeter meter;
    const auto units_per_step = static_cast<std::int64_t>(4 + 4 * outlet_count);
    meter.in_pieces(1, static_cast<std::size_t>(span) + 1, units_per_step,
                    [&](std::size_t first, std::size_t last) {
                        auto seconds = static_cast<std::int64_t>(first);
                        const auto end = static_cast<std::int64_t>(last);
                        while (seconds < end) {
                            const std::int64_t quiet_end = next_output < end ? next_output : end;
                            for (; seconds < quiet_end; ++seconds) {
                                advance.template operator()<false>(seconds);
                            }
                            if (seconds == next_output && seconds < end) {
                                advance.template operator()<true>(seconds);
                                ++seconds;
                                next_output += output_step;
                            }
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
