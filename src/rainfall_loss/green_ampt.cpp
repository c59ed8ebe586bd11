#include "rainfall_loss/green_ampt.hpp"

#include <cmath>

#include "utils/checks.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

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
            const double a = k - (total + total);
            const double driven = total + head;
            const double root = std::sqrt(a * a + eight_k * driven);
            const double capacity = 0.5 * (a + root);
            const double infiltrated = depth[i] < capacity ? depth[i] : capacity;
            total += infiltrated;
            put(i, depth[i], depth[i] - infiltrated);
        }
        infiltrated_total = total;
    });
    return split;
}

}  // namespace rainmill
