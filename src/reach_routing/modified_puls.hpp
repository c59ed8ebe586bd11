// Modified Puls (storage-indication) routing of a reach through its
// storage–outflow table, in equal sub-reaches.
#pragma once

#include <cstdint>
#include <vector>

namespace rainmill {

// `storage` (cubic feet) and `outflow_table` (cfs) of the whole reach, both
// strictly increasing, at least two rows. Each of `sub_reaches` segments holds
// storage / sub_reaches and is routed in turn at step dt (seconds): with the
// indication N = 2 S / dt + O of each row, per step in this order
// N_t = (I_{t-1} + I_t) + (N_{t-1} - (O_{t-1} + O_{t-1})) and
// O_t = (N_t - N_i) s_i + O_i in the row interval [N_i, N_{i+1}) holding N_t,
// its slope s_i = (O_{i+1} - O_i) / (N_{i+1} - N_i) tabulated once per call
// (the last interval extended above the table, the first outflow below it).
// Each segment starts in steady state, its outflow equal to its first inflow
// (the storage read from the table by linear interpolation). Up to four
// segments are routed together, each a step behind the one above it, so that
// their chains overlap; each takes the same steps as when routed alone. Throws
// InvalidInput for invalid tables or arguments.
[[nodiscard]] std::vector<double> route_modified_puls(const std::vector<double>& inflow,
                                                      const std::vector<double>& storage,
                                                      const std::vector<double>& outflow_table,
                                                      std::int64_t sub_reaches, double dt);

}  // namespace rainmill
