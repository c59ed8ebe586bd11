#include "reach_routing/muskingum.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/series_block.hpp"

namespace rainmill {

namespace {

// WorkMeter units of one routed value (a dependent multiply-add chain) and of
// the setting up of one pass.
constexpr std::int64_t kUnitsPerStep = 3;
constexpr std::int64_t kUnitsPerPass = 100;

// Outflow values worked out between two appends to the output (4 KiB).
constexpr std::size_t kStagedSteps = 512;

}  // namespace

bool muskingum_x_out_of_range(double x) { return x < 0.0 || 0.5 < x || std::isnan(x); }

std::vector<double> route_muskingum_pass(const std::vector<double>& inflow, double dt, double k,
                                         double x, std::optional<double> first_outflow) {
    if (inflow.empty()) {
        throw InternalFailure("Muskingum routing pass needs at least one inflow value");
    }
    const std::size_t n = inflow.size();
    std::vector<double> outflow;
    reserve_series(outflow, n);
    outflow.push_back(first_outflow.value_or(inflow[0]));

    // The coefficients are formed in exactly this order (2K first, then the
    // two weighted halves) because the grouping fixes their last bits.
    const double two_k = k + k;
    const double a = (1.0 - x) * two_k;
    const double b = two_k * x;
    const double denominator = dt + a;
    const double c_current_in = (dt - b) / denominator;
    const double c_previous_in = (b + dt) / denominator;
    const double c_previous_out = (a - dt) / denominator;

    WorkMeter meter;
    const double* const in = inflow.data();
    meter.in_pieces(1, n, kUnitsPerStep, [&](std::size_t first, std::size_t last) {
        // The outflow is worked out a stage at a time into the first-level
        // cache and appended to the reserved room: no zeros are written
        // first, and the previous outflow stays in a register, so the chain
        // from one value to the next is the multiply-add alone.
        std::array<double, kStagedSteps> staged;
        double previous = outflow.back();
        for (std::size_t stage = first; stage < last; stage += kStagedSteps) {
            const std::size_t count = std::min(last - stage, kStagedSteps);
            // The stage's place in the output is fetched for writing while the
            // chain runs, so that the append after it finds its lines cached.
            const double* const place = outflow.data() + outflow.size();
            for (std::size_t i = 0; i < count; i += 8) __builtin_prefetch(place + i, 1, 3);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t t = stage + i;
                // The two inflow terms are summed before the outflow term is added.
                previous =
                    c_previous_out * previous + (c_previous_in * in[t - 1] + c_current_in * in[t]);
                staged[i] = previous;
            }
            outflow.insert(outflow.end(), staged.data(), staged.data() + count);
        }
    });
    return outflow;
}

std::vector<double> route_muskingum_reach(const std::vector<double>& inflow, double dt, double k,
                                          double x, std::int64_t sub_reaches,
                                          double initial_outflow) {
    // sub_reaches is not validated: 0 makes the segment constant infinite
    // (NaN coefficients) and a negative count routes once with a negative K.
    const double segment_k = k / static_cast<double>(sub_reaches);
    std::vector<double> outflow = route_muskingum_pass(inflow, dt, segment_k, x, initial_outflow);
    // Later segments start from their own first inflow, which is the first
    // outflow of the segment above, i.e. initial_outflow. Each pass is
    // counted as well, since a reach of many segments over a short inflow
    // is long work made of short passes.
    WorkMeter meter;
    const std::int64_t pass_units =
        kUnitsPerPass + kUnitsPerStep * static_cast<std::int64_t>(outflow.size());
    for (std::int64_t passes = 1; passes < sub_reaches; ++passes) {
        outflow = route_muskingum_pass(outflow, dt, segment_k, x, std::nullopt);
        meter.add(pass_units);
    }
    return outflow;
}

ContinuousTimeSeries run_muskingum_routing(const ContinuousTimeSeries& inflow, Duration k, double x,
                                           std::int64_t sub_reaches, double initial_outflow) {
    ContinuousTimeSeries result;
    result.data = route_muskingum_reach(inflow.data, static_cast<double>(inflow.time_step),
                                        k.as_seconds(), x, sub_reaches, initial_outflow);
    result.kind = "discharge";
    result.time_step = inflow.time_step;
    return result;
}

}  // namespace rainmill
