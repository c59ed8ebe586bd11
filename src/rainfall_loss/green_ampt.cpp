#include "rainfall_loss/green_ampt.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "utils/checks.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

namespace {

// Exactly +0.0 (not -0.0): a dry interval.
bool is_positive_zero(double value) { return std::bit_cast<std::uint64_t>(value) == 0; }

}  // namespace

LossSplit green_ampt_loss(const std::vector<double>& rain, double suction, double conductivity,
                          double moisture_deficit, double impervious, double step_hours) {
    require_non_negative("suction", suction);
    require_non_negative("conductivity", conductivity);
    require_fraction("moisture_deficit", moisture_deficit);
    require_fraction("impervious", impervious);
    require_positive("step_hours", step_hours);
    require_depths("rain", rain);

    const std::size_t n = rain.size();
    LossSplit split{std::vector<double>(n), std::vector<double>(n)};
    const SplitWriter writer(split, impervious);
    const double* const depth = rain.data();
    const double head = suction * moisture_deficit;
    const double k = conductivity * step_hours;
    const double eight_k = 8.0 * k;
    double infiltrated_total = 0.0;
    WorkMeter meter;
    meter.in_pieces(0, n, 30, [&](std::size_t first, std::size_t last) {
        // The running total stays in a register (a captured reference could alias the output).
        const SplitWriter put = writer;
        double total = infiltrated_total;
        for (std::size_t i = first; i < last; ++i) {
            const double r = depth[i];
            if (is_positive_zero(r)) {
                // min(+0, capacity >= 0) is a zero, so F and the excess keep their bits.
                put(i, r, 0.0);
                continue;
            }
            const double a = k - (total + total);
            const double driven = total + head;
            const double root = std::sqrt(a * a + eight_k * driven);
            const double capacity = 0.5 * (a + root);
            // A branch, not a select: while the rain infiltrates whole, F's next value
            // does not wait on the square root, which then runs beside the chain.
            if (r < capacity) [[likely]] {
                total += r;
                put(i, r, r - r);
            } else {
                total += capacity;
                put(i, r, r - capacity);
            }
        }
        infiltrated_total = total;
    });
    return split;
}

}  // namespace rainmill
