// Groundwater baseflow: each named layer takes its share of the infiltrated
// rainfall and drains it through a chain of identical linear reservoirs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/duration.hpp"
#include "utils/named.hpp"
#include "utils/time_series.hpp"

namespace rainmill {

// One groundwater layer. Only `create` validates; the fields themselves may
// later hold anything the Python setters let through (a fraction outside
// [0, 1], a chain of zero reservoirs), and the routing copes with that.
struct LinearReservoir {
    double gw_fraction = 0.0;       // share of the infiltrated depth feeding this layer
    double initial_q = 0.0;         // cfs in every reservoir of the chain before step one
    std::int32_t k_duration = 1;    // storage constant K of the whole chain, whole seconds
    std::size_t num_reservoir = 1;  // reservoirs chained in series, all sharing K

    // Checks in the order a caller sees them: K (after dropping the fraction
    // of a second) at least one second, then the fraction range, then the
    // chain length. Throws InvalidInput with the caller-facing message.
    [[nodiscard]] static LinearReservoir create(Duration k_duration, double gw_fraction,
                                                double initial_q, std::size_t num_reservoir);
};

struct LinearReservoirResult {
    ContinuousTimeSeries total;                 // sum of all layers, cfs
    NamedList<ContinuousTimeSeries> per_layer;  // in the order the layers were given
};

// Routes the infiltrated rainfall (inches per time step) over `basin_area`
// acres through every layer, in the given order; that order also fixes the
// order of the fraction sum and of the running total, hence their last bits.
[[nodiscard]] LinearReservoirResult run_linear_reservoir(
    double basin_area, const IncrementalTimeSeries& rainfall,
    const NamedList<LinearReservoir>& reservoirs);

}  // namespace rainmill
