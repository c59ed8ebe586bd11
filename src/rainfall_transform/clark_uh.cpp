#include "rainfall_transform/clark_uh.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "reach_routing/muskingum.hpp"
#include "utils/interrupt.hpp"
#include "utils/memory_limit.hpp"

namespace rainmill {

namespace {

// WorkMeter units of one translation ordinate (a power and a division).
constexpr std::int64_t kUnitsPerOrdinate = 40;

}  // namespace

std::size_t clark_ordinate_count(double tc_seconds, double dt_seconds) {
    const double count = std::ceil(tc_seconds / dt_seconds);
    constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();
    if (!(count > 0.0)) return 0;
    // static_cast<double>(largest) rounds up to 2^64, the first value that
    // does not fit.
    if (count >= static_cast<double>(largest)) return largest;
    return static_cast<std::size_t>(count);
}

double clark_time_area(double relative_time) {
    if (relative_time < 0.5) return 1.414 * std::pow(relative_time, 1.5);
    return 1.0 - 1.414 * std::pow(1.0 - relative_time, 1.5);
}

std::vector<double> clark_translation_hydrograph(std::size_t ordinates, double dt_seconds,
                                                 double tc_seconds, double basin_area) {
    std::vector<double> translation;
    translation.reserve(ordinates);
    // 1.00833 turns acre-inches per hour into cfs; the step in hours divides last.
    const double step_hours = dt_seconds / 3600.0;
    double previous_area = 0.0;
    WorkMeter meter;
    meter.in_pieces(1, ordinates + 1, kUnitsPerOrdinate, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const double elapsed = (static_cast<double>(i) * dt_seconds) / tc_seconds;
            const double relative_time = elapsed < 1.0 ? elapsed : 1.0;
            const double area = clark_time_area(relative_time);
            translation.push_back((area - previous_area) * basin_area * 1.00833 / step_hours);
            previous_area = area;
        }
    });
    return translation;
}

void ensure_clark_fits_in_memory(std::size_t ordinates, std::size_t rainfall_count) {
    // At the peak the run holds the translation and the routed hydrograph
    // (n values each), then the routed one and the output (L + n - 1 values).
    constexpr std::size_t max_values = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (ordinates > max_values / 2 || rainfall_count > max_values - 2 * ordinates) {
        throw std::bad_alloc();
    }
    // Against what the process can still get (address-space limit, physical
    // memory, control group), not just the machine's memory: a request that
    // cannot fit fails here, before gigabytes are allocated and filled.
    const std::size_t values = 2 * ordinates + rainfall_count;
    if (values > allocatable_bytes_limit() / sizeof(double)) throw std::bad_alloc();
}

ContinuousTimeSeries run_clark_uh(const IncrementalTimeSeries& rainfall, double basin_area,
                                  Duration tc, Duration storage_r) {
    const double tc_seconds = tc.as_seconds();
    const double storage_seconds = storage_r.as_seconds();
    const double dt_seconds = static_cast<double>(rainfall.time_step);
    const std::size_t rainfall_count = rainfall.data.size();

    ContinuousTimeSeries result;
    result.kind = "discharge";
    result.time_step = rainfall.time_step;

    if (!(tc_seconds > 0.0 && dt_seconds > 0.0)) {
        result.data.assign(rainfall_count, 0.0);
        return result;
    }

    const std::size_t ordinates = clark_ordinate_count(tc_seconds, dt_seconds);
    ensure_clark_fits_in_memory(ordinates, rainfall_count);

    std::vector<double> unit_hydrograph;
    {
        const std::vector<double> translation =
            clark_translation_hydrograph(ordinates, dt_seconds, tc_seconds, basin_area);
        // The linear reservoir is a Muskingum pass with x = 0 starting from
        // zero outflow; its recession past the n-th ordinate is not kept.
        unit_hydrograph = route_muskingum_pass(translation, dt_seconds, storage_seconds, 0.0, 0.0);
    }

    std::vector<double>& flow = result.data;
    const std::size_t flow_count = rainfall_count + ordinates - 1;
    flow.reserve(flow_count);
    WorkMeter meter;
    meter.in_pieces(0, flow_count, 1, [&](std::size_t, std::size_t last) { flow.resize(last); });
    const double* const ordinate = unit_hydrograph.data();
    const double* const depths = rainfall.data.data();
    // Adds the ordinates [first, last) of wet step i into the hydrograph.
    auto add_step = [&flow, ordinate, depths](std::size_t i, std::size_t first, std::size_t last) {
        const double depth = depths[i];
        // Dry steps cost nothing; NaN is not equal to zero and so propagates.
        if (depth == 0.0) return;
        double* const out = flow.data() + i;
        for (std::size_t j = first; j < last; ++j) out[j] = ordinate[j] * depth + out[j];
    };
    // Short unit hydrographs are counted per group of steps, long ones in
    // pieces of each step, so that checks stay a few milliseconds apart.
    if (ordinates <= static_cast<std::size_t>(WorkMeter::kUnitsPerCheck)) {
        meter.in_pieces(0, rainfall_count, static_cast<std::int64_t>(ordinates),
                        [&](std::size_t first, std::size_t last) {
                            for (std::size_t i = first; i < last; ++i) add_step(i, 0, ordinates);
                        });
    } else {
        for (std::size_t i = 0; i < rainfall_count; ++i) {
            if (depths[i] == 0.0) continue;
            meter.in_pieces(0, ordinates, 1,
                            [&](std::size_t first, std::size_t last) { add_step(i, first, last); });
        }
    }
    return result;
}

}  // namespace rainmill
