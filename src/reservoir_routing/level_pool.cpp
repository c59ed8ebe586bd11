#include "reservoir_routing/level_pool.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "utils/errors.hpp"
#include "utils/general.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

ContinuousTimeSeries make_series(std::vector<double> data, const char* kind,
                                 std::int32_t time_step) {
    return ContinuousTimeSeries{std::move(data), kind, time_step};
}

// A rating-curve lookup as the routing makes it every second: inside the
// interval of the previous lookup it is the interpolation alone; anywhere
// else the curve's own lookup decides (knots, ends, NaN, its errors). Both
// give the same bits, since the interval that holds a value is unique.
template <class Lookup>
inline double lookup_from(std::span<const double> x, std::span<const double> y, KnotCursor& cursor,
                          double value, Lookup&& full_lookup) {
    const std::size_t upper = cursor.upper;
    if (upper != 0 && x[upper - 1] < value && value < x[upper]) {
        return detail::interpolate_below(x, y, upper, value);
    }
    return full_lookup();
}

// One outlet as the routing loop evaluates it: its class's fields read once,
// absent bounds as flags, so that each second costs a switch and the
// arithmetic. Every branch keeps its class's order of tests, values and
// errors (see the get_discharge of each outlet class).
struct Outlet {
    enum class Kind { uncontrolled, controlled, specified, constant };

    Kind kind;
    bool has_minimum = false;
    bool has_maximum = false;
    double minimum = 0.0;
    double maximum = 0.0;
    double cap = std::numeric_limits<double>::infinity();  // an absent cap counts as +inf
    double offset = 0.0;         // uncontrolled: added to the elevation
    double constant = 0.0;       // constant: the release
    const ElevationDischarge* rating = nullptr;      // uncontrolled, controlled
    const SpecifiedDischargeInfo* released = nullptr;  // specified
    KnotCursor cursor;

    void set_gate(const std::optional<double>& low, const std::optional<double>& high) {
        has_minimum = low.has_value();
        has_maximum = high.has_value();
        minimum = low.value_or(0.0);
        maximum = high.value_or(0.0);
    }

    static Outlet of(const DischargeInfo& info) {
        Outlet outlet{};
        if (const auto* spill = std::get_if<UnControlledDischargeInfo>(&info)) {
            outlet.kind = Kind::uncontrolled;
            outlet.rating = &spill->elevation_discharge;
            outlet.offset = spill->elevation_offset.value_or(0.0);
        } else if (const auto* gate = std::get_if<ControlledDischargeInfo>(&info)) {
            outlet.kind = Kind::controlled;
            outlet.rating = &gate->elevation_discharge();
            outlet.set_gate(gate->minimum_elevation(), gate->maximum_elevation());
            outlet.cap = gate->maximum_release().value_or(outlet.cap);
        } else if (const auto* specified = std::get_if<SpecifiedDischargeInfo>(&info)) {
            outlet.kind = Kind::specified;
            outlet.released = specified;
        } else {
            const auto& fixed = std::get<ConstantDischargeInfo>(info);
            outlet.kind = Kind::constant;
            outlet.constant = fixed.discharge;
            outlet.set_gate(fixed.minimum_elevation, fixed.maximum_elevation);
        }
        return outlet;
    }

    [[nodiscard]] bool gate_shut(double elevation) const noexcept {
        return (has_minimum && elevation < minimum) || (has_maximum && elevation > maximum);
    }

    // The smaller of a release and the cap; a NaN on one side yields the other.
    [[nodiscard]] double capped(double release) const noexcept {
        if (std::isnan(release)) return cap;
        if (std::isnan(cap)) return release;
        return cap < release ? cap : release;
    }

    [[nodiscard]] double rated(double elevation) {
        return lookup_from(rating->elevation(), rating->discharge(), cursor, elevation,
                           [&] { return rating->lookup(elevation, cursor); });
    }

    // Discharge at `elevation`, `seconds` after the start of the routing.
    double discharge(double elevation, std::int64_t seconds) {
        switch (kind) {
            case Kind::uncontrolled: {
                const double effective = elevation + offset;
                if (effective > rating->last_elevation()) {
                    outlet_detail::throw_above_curve(effective, rating->last_elevation());
                }
                if (effective < rating->first_elevation()) return 0.0;
                return rated(effective);
            }
            case Kind::controlled:
                if (gate_shut(elevation)) return 0.0;
                if (elevation > rating->last_elevation()) {
                    outlet_detail::throw_above_curve(elevation, rating->last_elevation());
                }
                if (elevation < rating->first_elevation()) return 0.0;
                return capped(rated(elevation));
            case Kind::specified:
                // Its series lookup costs more than the call; the class decides.
                return released->get_discharge(elevation, seconds);
            case Kind::constant:
                return gate_shut(elevation) ? 0.0 : constant;
        }
        throw InternalFailure("unknown outlet kind in level-pool routing");
    }

};

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
    const std::span<const double> curve_storage = elevation_storage.storage();
    const std::span<const double> curve_elevation = elevation_storage.elevation();
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
        elevation = lookup_from(curve_storage, curve_elevation, storage_cursor, storage, [&] {
            return elevation_storage.get_elevation(storage, storage_cursor);
        });
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
