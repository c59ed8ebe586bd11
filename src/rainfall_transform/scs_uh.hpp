// The SCS dimensionless unit hydrograph (USDA NRCS, National Engineering
// Handbook Part 630, chapter 16, table 16-1: the curvilinear shape, q/qp
// against t/Tp) and Snyder's synthetic unit hydrograph (Snyder, 1938)
// converted to it.
#pragma once

#include <vector>

namespace rainmill {

// Ordinates (cfs per inch of excess over `area_acres`) at the points 0, 1, ...
// steps after the start of one interval of excess, for a basin lag of
// `lag_hours` and a peak rate factor (484 for the standard shape).
//
// Time to peak Tp = step_hours / 2 + lag_hours. The tabulated shape is
// interpolated linearly at t / Tp; a peak rate factor other than 484 keeps
// the rising limb and stretches the recession limb by
// r = (area * 484 / prf - rising area) / recession area (areas of the table
// by the trapezoid rule), so that the peak stays where it is and the volume
// under it scales as 484 / prf, as the factor asks. The ordinates are then
// scaled to exactly one inch (scale_to_unit_volume), so the volume is kept to
// rounding whatever the step. Throws InvalidInput for a factor whose
// recession would vanish (about 1290 and above) or invalid arguments.
[[nodiscard]] std::vector<double> scs_unit_hydrograph(double lag_hours, double peak_rate_factor,
                                                      double area_acres, double step_hours);

// Snyder's unit hydrograph for basin lag `tp_hours` and peaking coefficient
// `cp`, converted to the SCS dimensionless shape with Snyder's peak and time
// to peak: the standard duration tr = tp / 5.5, the lag adjusted to the step
// tR (= step_hours) as tpR = tp + (tR - tr) / 4, the peak 640 * cp * A / tpR
// (cfs per inch, A in square miles) at tR / 2 + tpR; that is the SCS shape
// with lag tpR and peak rate factor 640 * cp * (tR / 2 + tpR) / tpR.
[[nodiscard]] std::vector<double> snyder_unit_hydrograph(double tp_hours, double cp,
                                                         double area_acres, double step_hours);

// The peak rate factor of Snyder's peak in the SCS form (as above).
[[nodiscard]] double snyder_peak_rate_factor(double tp_hours, double cp, double step_hours);

}  // namespace rainmill
