#include "reach_routing/modified_puls.hpp"

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
    const double first_outflow = outflow_table[0];
    const std::size_t n = flow.size();
    WorkMeter meter;
    for (std::int64_t segment = 0; segment < sub_reaches; ++segment) {
        double* const q = flow.data();
        // Steady start: the indication at which the outflow equals the first inflow.
        std::size_t cursor = interval_of(outflow_table, q[0], 0);
        double previous_in = q[0];
        double previous_out = q[0];
        double previous_n = along(outflow_table, indication, cursor, q[0]);
        cursor = interval_of(indication, previous_n, 0);
        meter.in_pieces(1, n, 12, [&](std::size_t first, std::size_t last) {
            for (std::size_t t = first; t < last; ++t) {
                const double current_in = q[t];
                const double now =
                    (previous_in + current_in) + (previous_n - (previous_out + previous_out));
                cursor = interval_of(indication, now, cursor);
                double out = along(indication, outflow_table, cursor, now);
                if (now < indication[0]) out = first_outflow;
                q[t] = out;
                previous_in = current_in;
                previous_out = out;
                previous_n = now;
            }
        });
    }
    return flow;
}

}  // namespace rainmill
