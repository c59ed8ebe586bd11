// Recession baseflow: an initial baseflow receding exponentially, and the
// total flow receding the same way once it falls below a threshold on the
// falling limb of an event (the threshold a ratio to the event's peak or a
// flow).
#pragma once

#include <vector>

namespace rainmill {

// Baseflow (cfs at the points) beside `direct` runoff (cfs at the points).
// The factor per step is r = k^(step_hours / 24), k the recession constant per
// day. Per point, in this order: the initial baseflow b (initial_flow at the
// first point) and, while receding, the recession flow R are multiplied by r;
// the plain total is direct + b. Receding, the total is max(R, plain total),
// and a plain total above R ends the recession (a new event rises, its peak
// the plain total); otherwise the total is the plain total, the peak the
// largest total since the last recession, and the recession starts (R = the
// total) at a point where the total falls (below the previous one) to the
// threshold or below it (threshold * peak for a ratio, else the threshold),
// the peak being above it. The baseflow is the total less the direct runoff.
// Throws InvalidInput for invalid arguments.
[[nodiscard]] std::vector<double> recession_baseflow(const std::vector<double>& direct,
                                                     double initial_flow, double recession_constant,
                                                     double threshold, bool threshold_is_ratio,
                                                     double step_hours);

}  // namespace rainmill
