#include "reach_routing/modified_puls.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <string>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

namespace {

void require_increasing(const char* name, const std::vector<double>& values) {
    for (std::size_t i = 1; i < values.size(); ++i) {
        if (!(values[i] > values[i - 1])) {
            throw InvalidInput(std::string(name) + " must increase strictly, but row " +
                               std::to_string(i) + " does not");
        }
    }
}

// The interval [x_i, x_{i+1}) holding x, from the cursor's last interval;
// the first interval below the table and the last above it.
std::size_t interval_of(const std::vector<double>& knots, double x, std::size_t cursor) {
    const std::size_t last = knots.size() - 2;
    while (cursor < last && knots[cursor + 1] <= x) ++cursor;
    while (cursor > 0 && knots[cursor] > x) --cursor;
    return cursor;
}

double along(const std::vector<double>& xs, const std::vector<double>& ys, std::size_t i,
             double x) {
    return ((x - xs[i]) / (xs[i + 1] - xs[i])) * (ys[i + 1] - ys[i]) + ys[i];
}

// One segment's state between steps: its last inflow, outflow and indication,
// and the table interval of that indication.
struct Segment {
    std::size_t cursor;
    double previous_in;
    double previous_out;
    double previous_n;
};

struct Tables {
    const std::vector<double>& indication;
    const std::vector<double>& outflow;
    const std::vector<double>& slope;
};

// Segment `s` takes step t: reads its inflow q[t] (the outflow of the segment above, or the
// reach's inflow) and writes its own outflow there.
inline void step(Segment& s, const Tables& table, double* q, std::size_t t) {
    const double current_in = q[t];
    const double now =
        (s.previous_in + current_in) + (s.previous_n - (s.previous_out + s.previous_out));
    s.cursor = interval_of(table.indication, now, s.cursor);
    double out =
        (now - table.indication[s.cursor]) * table.slope[s.cursor] + table.outflow[s.cursor];
    if (now < table.indication[0]) out = table.outflow[0];
    q[t] = out;
    s.previous_in = current_in;
    s.previous_out = out;
    s.previous_n = now;
}

// Routes q[1, n) in place through `G` successive segments at once, as a wavefront: at
// wave w, segment g takes step w - g. Segment g's step t needs only segment g - 1's step t
// (taken one wave earlier) and its own step t - 1, so the G dependency chains (an interpolation
// each) overlap instead of running one after another; each segment does the same
// arithmetic in the same order as when routed alone.
template <std::size_t G>
void route_group(double* q, std::size_t n, const Tables& table, const Segment& start,
                 WorkMeter& meter) {
    std::array<Segment, G> segments;
    segments.fill(start);
    // Ramp up (the lower segments not yet started) and down (the upper ones done).
    const auto partial = [&](std::size_t wave) {
        for (std::size_t g = 0; g < G; ++g) {
            if (wave >= g + 1 && wave - g < n) step(segments[g], table, q, wave - g);
        }
    };
    const std::size_t full_from = G;  // the first wave at which every segment has a step
    std::size_t wave = 1;
    for (; wave < full_from && wave < n + G - 1; ++wave) partial(wave);
    if (n > full_from) {
        meter.in_pieces(full_from, n, 12 * static_cast<std::int64_t>(G),
                        [&](std::size_t first, std::size_t last) {
                            for (std::size_t w = first; w < last; ++w) {
                                for (std::size_t g = 0; g < G; ++g)
                                    step(segments[g], table, q, w - g);
                            }
                        });
        wave = n;
    }
    for (; wave < n + G - 1; ++wave) partial(wave);
}

}  // namespace

std::vector<double> route_modified_puls(const std::vector<double>& inflow,
                                        const std::vector<double>& storage,
                                        const std::vector<double>& outflow_table,
                                        std::int64_t sub_reaches, double dt) {
    if (storage.size() != outflow_table.size() || storage.size() < 2) {
        throw InvalidInput("storage and outflow must have the same number of rows, at least 2");
    }
    require_depths("storage", storage);
    require_depths("outflow", outflow_table);
    require_increasing("storage", storage);
    require_increasing("outflow", outflow_table);
    if (sub_reaches < 1 || sub_reaches > 1000) {
        throw InvalidInput("sub_reaches must lie in [1, 1000], got " + std::to_string(sub_reaches));
    }
    require_positive("dt", dt);
    require_depths("inflow", inflow);
    std::vector<double> flow = inflow;
    if (flow.empty()) return flow;

    // Indication of each row for one segment: 2 (S / segments) / dt + O.
    const double segments = static_cast<double>(sub_reaches);
    std::vector<double> indication(storage.size());
    for (std::size_t i = 0; i < storage.size(); ++i) {
        indication[i] = (2.0 * (storage[i] / segments)) / dt + outflow_table[i];
    }
    std::vector<double> slope(storage.size() - 1);
    for (std::size_t i = 0; i + 1 < storage.size(); ++i) {
        slope[i] = (outflow_table[i + 1] - outflow_table[i]) / (indication[i + 1] - indication[i]);
    }
    const Tables table{indication, outflow_table, slope};
    const std::size_t n = flow.size();
    double* const q = flow.data();
    // Steady start: the indication at which the outflow equals the first inflow (which
    // every segment passes on unchanged, so all start alike).
    Segment start{};
    start.previous_in = q[0];
    start.previous_out = q[0];
    start.previous_n = along(outflow_table, indication, interval_of(outflow_table, q[0], 0), q[0]);
    start.cursor = interval_of(indication, start.previous_n, 0);
    WorkMeter meter;
    auto left = static_cast<std::size_t>(sub_reaches);
    for (; left >= 4; left -= 4) route_group<4>(q, n, table, start, meter);
    if (left == 3) route_group<3>(q, n, table, start, meter);
    if (left == 2) route_group<2>(q, n, table, start, meter);
    if (left == 1) route_group<1>(q, n, table, start, meter);
    return flow;
}

}  // namespace rainmill
