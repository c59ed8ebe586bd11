// Clark unit hydrograph: a translation hydrograph from a fixed dimensionless
// time-area curve, attenuated by a linear reservoir (a Muskingum pass with
// x = 0) and convolved with the excess rainfall.
#pragma once

#include <cstddef>
#include <vector>

#include "utils/duration.hpp"
#include "utils/time_series.hpp"

namespace rainmill {

// Number of unit-hydrograph ordinates, ceil(tc / dt), saturated into the
// size type (0 below, the largest size above).
[[nodiscard]] std::size_t clark_ordinate_count(double tc_seconds, double dt_seconds);

// Cumulative fraction of the basin contributing at relative time x = t / tc.
[[nodiscard]] double clark_time_area(double relative_time);

// Flow (cfs) in each of the n steps that one inch of excess over
// `basin_area` acres produces through the time-area curve.
[[nodiscard]] std::vector<double> clark_translation_hydrograph(std::size_t ordinates,
                                                               double dt_seconds, double tc_seconds,
                                                               double basin_area);

// Throws std::bad_alloc when a run with this many ordinates over this many
// rainfall values could not hold its working vectors in memory, before any
// of them is allocated, so that an absurd tc fails at once instead of
// thrashing or being killed halfway through.
void ensure_clark_fits_in_memory(std::size_t ordinates, std::size_t rainfall_count);

// Excess rainfall (inches per step) to a direct-runoff hydrograph in cfs, at
// the rainfall's time step, kind "discharge".
[[nodiscard]] ContinuousTimeSeries run_clark_uh(const IncrementalTimeSeries& rainfall,
                                                double basin_area, Duration tc, Duration storage_r);

}  // namespace rainmill
