#include "reach_routing/muskingum_cunge.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

constexpr double kManningUs = 1.486;
constexpr int kNewtonIterations = 100;
constexpr double kThird = 1.0 / 3.0;
// Bounds on the grid, so that no reach asks for endless work.
constexpr double kMaxSubReaches = 10000.0;
constexpr double kMaxInternalSteps = 10000.0;

struct Hydraulics {
    double depth;
    double top_width;
    double celerity;
};

struct ChannelTerms {
    double conveyance;   // (1.486 / n) sqrt(S)
    double wetted_rate;  // 2 sqrt(1 + z^2), dP/dy
    double inverse_conveyance;
};

ChannelTerms terms_of(const PrismaticChannel& c) {
    const double conveyance = (kManningUs / c.manning_n) * std::sqrt(c.slope);
    return {conveyance, 2.0 * std::sqrt(1.0 + c.side_slope * c.side_slope), 1.0 / conveyance};
}

// Manning's equation cubed, Q^3 = k^3 A^5 / P^2, needs no fractional power:
// the depth solves g(y) = A^5 / P^2 - (Q / k)^3 = 0; with g P^2 and g' P^3
// the Newton step g / g' takes one division, in the documented order.
double newton_step(const PrismaticChannel& c, const ChannelTerms& t, double target, double y) {
    const double area = y * (c.bottom_width + c.side_slope * y);
    const double perimeter = c.bottom_width + y * t.wetted_rate;
    const double top = c.bottom_width + 2.0 * c.side_slope * y;
    const double square = area * area;
    const double fourth = square * square;
    const double value = fourth * area - target * (perimeter * perimeter);
    const double rate = fourth * (5.0 * top * perimeter - 2.0 * area * t.wetted_rate);
    return value * perimeter / rate;
}

double cube_of_ratio(const ChannelTerms& t, double flow) {
    const double ratio = flow * t.inverse_conveyance;
    return ratio * ratio * ratio;
}

// From `guess`: y <- y - step, halving y instead when that would leave it <= 0, until
// |step| <= 1e-10 y or kNewtonIterations.
double newton_depth(const PrismaticChannel& c, const ChannelTerms& t, double flow, double guess) {
    const double target = cube_of_ratio(t, flow);
    double y = guess;
    for (int i = 0; i < kNewtonIterations; ++i) {
        const double step = newton_step(c, t, target, y);
        const double next = y - step;
        if (!(next > 0.0)) {
            y = 0.5 * y;
            continue;
        }
        y = next;
        if (std::fabs(step) <= 1e-10 * y) break;
    }
    return y;
}

// newton_depth of kLanes flows at once, in step: a lane stops where newton_depth would
// (its later results are not taken), so each depth keeps its bits, while the lanes'
// chains of divisions overlap.
constexpr std::size_t kLanes = 4;
using Lanes = std::array<double, kLanes>;

void newton_depths(const PrismaticChannel& c, const ChannelTerms& t, const Lanes& flow, Lanes& y) {
    Lanes target;
    std::array<bool, kLanes> done{};
    for (std::size_t l = 0; l < kLanes; ++l) target[l] = cube_of_ratio(t, flow[l]);
    for (int i = 0; i < kNewtonIterations; ++i) {
        bool all = true;
        for (std::size_t l = 0; l < kLanes; ++l) all = all && done[l];
        if (all) break;
        for (std::size_t l = 0; l < kLanes; ++l) {
            const double step = newton_step(c, t, target[l], y[l]);
            const double next = y[l] - step;
            const bool positive = next > 0.0;
            const double moved = positive ? next : 0.5 * y[l];
            const bool converged = positive && std::fabs(step) <= 1e-10 * next;
            y[l] = done[l] ? y[l] : moved;
            done[l] = done[l] || converged;
        }
    }
}

// The celerity dQ/dA = Q (5 T P - 2 P' A) / (3 A T P) at the normal depth y of `flow`.
Hydraulics hydraulics_of(const PrismaticChannel& c, const ChannelTerms& t, double flow, double y) {
    const double area = y * (c.bottom_width + c.side_slope * y);
    const double perimeter = c.bottom_width + y * t.wetted_rate;
    const double top = c.bottom_width + 2.0 * c.side_slope * y;
    const double celerity = flow * (5.0 * top * perimeter - 2.0 * t.wetted_rate * area) /
                            (3.0 * area * top * perimeter);
    return {y, top, celerity};
}

Hydraulics hydraulics_at(const PrismaticChannel& c, const ChannelTerms& t, double flow,
                         double guess) {
    return hydraulics_of(c, t, flow, newton_depth(c, t, flow, guess));
}

void validate(const PrismaticChannel& c) {
    require_positive("length", c.length);
    require_positive("slope", c.slope);
    require_positive("manning_n", c.manning_n);
    require_non_negative("bottom_width", c.bottom_width);
    require_non_negative("side_slope", c.side_slope);
    if (!(c.bottom_width + c.side_slope > 0.0)) {
        throw InvalidInput("bottom_width and side_slope cannot both be 0");
    }
}

}  // namespace

std::vector<double> route_cunge_cell(const std::vector<double>& inflow, double courant,
                                     double cell_reynolds) {
    require_non_negative("courant", courant);
    require_non_negative("cell_reynolds", cell_reynolds);
    std::vector<double> outflow(inflow.size());
    if (inflow.empty()) return outflow;
    const CungeCoefficients k = cunge_coefficients(courant, cell_reynolds);
    const double* const in = inflow.data();
    double* const out = outflow.data();
    out[0] = in[0];
    WorkMeter meter;
    meter.in_pieces(1, inflow.size(), 3, [&](std::size_t first, std::size_t last) {
        double previous = out[first - 1];
        for (std::size_t t = first; t < last; ++t) {
            previous = (k.c0 * in[t] + k.c1 * in[t - 1]) + k.c2 * previous;
            out[t] = previous;
        }
    });
    return outflow;
}

double normal_depth(const PrismaticChannel& channel, double flow, double guess) {
    return newton_depth(channel, terms_of(channel), flow, guess);
}

std::vector<double> route_muskingum_cunge(const std::vector<double>& inflow,
                                          const PrismaticChannel& channel, double dt) {
    validate(channel);
    require_positive("dt", dt);
    require_depths("inflow", inflow);
    double peak = kMinimumFlow;
    for (const double value : inflow) peak = value > peak ? value : peak;
    std::vector<double> outflow(inflow.size());
    if (inflow.empty()) return outflow;

    const ChannelTerms terms = terms_of(channel);
    const Hydraulics at_peak = hydraulics_at(channel, terms, peak, 1.0);
    const double ponce_dx = 0.5 * (at_peak.celerity * dt +
                                   peak / (at_peak.top_width * channel.slope * at_peak.celerity));
    if (!(std::isfinite(ponce_dx) && ponce_dx > 0.0)) {
        throw InvalidInput("the channel's hydraulics at the peak inflow (" + format_number(peak) +
                           " cfs) are out of range");
    }
    const double reaches = std::ceil(channel.length / ponce_dx);
    if (!(reaches <= kMaxSubReaches)) {
        throw InvalidInput("the reach needs " + format_number(reaches) +
                           " sub-reaches at this step and peak flow; at most " +
                           format_number(kMaxSubReaches) + " are allowed");
    }
    const double dx = channel.length / reaches;
    const double steps = std::ceil(at_peak.celerity * dt / dx);
    if (!(steps <= kMaxInternalSteps)) {
        throw InvalidInput("the reach needs " + format_number(steps) +
                           " internal steps per step; at most " + format_number(kMaxInternalSteps) +
                           " are allowed");
    }
    const auto cells = static_cast<std::size_t>(reaches);
    const auto internal = static_cast<std::size_t>(steps < 1.0 ? 1.0 : steps);
    const double step = dt / static_cast<double>(internal);
    const double step_over_dx = step / dx;
    const double slope_dx = channel.slope * dx;

    // The flow at each node at its last two levels (internal steps), each sub-reach's last
    // depth and what it owes. Sub-reach j's step s needs node j at levels s and s - 1 (from
    // sub-reach j - 1's steps s and s - 1) and node j + 1 at level s - 1 (its own step s - 1),
    // so the steps with j + s = d do not depend on one another: the loop runs by these
    // diagonals, downstream first (sub-reach j + 1 reads node j + 1 before j writes it), with
    // the Newton solves of up to kLanes sub-reaches of a diagonal in step instead of each
    // waiting on the last. Every step does the same arithmetic as in a sweep of one level at
    // a time.
    std::vector<double> latest(cells + 1, inflow[0]);
    std::vector<double> previous(cells + 1, inflow[0]);
    std::vector<double> depth(cells, at_peak.depth);
    std::vector<double> owed(cells, 0.0);
    outflow[0] = inflow[0];
    const double* const in = inflow.data();
    double* const out = outflow.data();
    const std::size_t levels = (inflow.size() - 1) * internal;
    const double internal_steps = static_cast<double>(internal);
    // About 150 units per sub-reach step (a Newton solve with its powers), counted per
    // diagonal so that a reach of many sub-reaches still answers at once.
    WorkMeter meter;
    for (std::size_t d = 1; d + 1 <= levels + cells; ++d) {
        const std::size_t upper = d - 1 < cells - 1 ? d - 1 : cells - 1;
        const std::size_t lower = d > levels ? d - levels : 0;
        if (lower == 0) {
            // The inflow, linear between points: level d's share of the rise.
            const std::size_t t = (d - 1) / internal + 1;
            const double before = in[t - 1];
            const double rise = in[t] - before;
            const double fraction = static_cast<double>(d - (t - 1) * internal) / internal_steps;
            previous[0] = latest[0];
            latest[0] = fraction * rise + before;
        }
        // Up to kLanes sub-reaches of the diagonal at once, downstream first; a short group
        // repeats its last sub-reach in the spare lanes (their results are not taken).
        for (std::size_t top = upper + 1; top > lower;) {
            const std::size_t count = top - lower < kLanes ? top - lower : kLanes;
            Lanes inflow_new;
            Lanes inflow_old;
            Lanes outflow_old;
            Lanes reference;
            Lanes y;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const std::size_t j = top - 1 - (l < count ? l : count - 1);
                inflow_new[l] = latest[j];
                inflow_old[l] = previous[j];
                outflow_old[l] = latest[j + 1];
                reference[l] = (inflow_old[l] + inflow_new[l] + outflow_old[l]) * kThird;
                if (!(reference[l] > kMinimumFlow)) reference[l] = kMinimumFlow;
                y[l] = depth[j];
            }
            newton_depths(channel, terms, reference, y);
            for (std::size_t l = 0; l < count; ++l) {
                const std::size_t j = top - 1 - l;
                const Hydraulics h = hydraulics_of(channel, terms, reference[l], y[l]);
                depth[j] = h.depth;
                const double courant = h.celerity * step_over_dx;
                const double cell_reynolds = reference[l] / (h.top_width * slope_dx * h.celerity);
                const CungeCoefficients k = cunge_coefficients(courant, cell_reynolds);
                const double routed =
                    (k.c0 * inflow_new[l] + k.c1 * inflow_old[l]) + k.c2 * outflow_old[l];
                // A negative outflow is set to 0 and the water so lent is paid back
                // from the cell's next outflows, so the clamp makes no volume.
                const double paid = routed - owed[j];
                owed[j] = paid < 0.0 ? -paid : 0.0;
                previous[j + 1] = outflow_old[l];
                latest[j + 1] = paid < 0.0 ? 0.0 : paid;
            }
            top -= count;
        }
        if (upper + 1 == cells && (d - upper) % internal == 0) {
            out[(d - upper) / internal] = latest[cells];
        }
        meter.add(static_cast<std::int64_t>(upper + 1 - lower) * 150);
    }
    return outflow;
}

}  // namespace rainmill
