// Level-pool routing of an inflow hydrograph through a reservoir.
#pragma once

#include <variant>

#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"
#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"
#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"
#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"
#include "utils/named.hpp"
#include "utils/time_series.hpp"

namespace rainmill {

// One outlet, held by value. The alternatives are in the order in which an
// argument is matched against the outlet classes.
using DischargeInfo = std::variant<UnControlledDischargeInfo, ControlledDischargeInfo,
                                   SpecifiedDischargeInfo, ConstantDischargeInfo>;

struct LevelPoolResult {
    ContinuousTimeSeries reservoir_storage;        // kind "volume"
    ContinuousTimeSeries reservoir_elevation;      // kind "elevation"
    ContinuousTimeSeries reservoir_total_outflow;  // kind "discharge"
    NamedList<ContinuousTimeSeries>
        reservoir_individual_outflows;  // kind "discharge", outlet order
};

// Integrates dS/dt = I - O explicitly on a one-second grid over the span of
// `inflow`, taking each step's outflow at the elevation reached by the step
// before, and records the state at the inflow's own time step. Outlets are
// evaluated and summed in the order given. InvalidInput for an inflow without
// values, an initial elevation or storage outside the curve, or a failing outlet.
LevelPoolResult run_level_pool_routing(const ContinuousTimeSeries& inflow, double initial_elevation,
                                       const ElevationStorage& elevation_storage,
                                       const NamedList<DischargeInfo>& discharge_info);

}  // namespace rainmill
