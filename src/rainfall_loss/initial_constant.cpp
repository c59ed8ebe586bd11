#include "rainfall_loss/initial_constant.hpp"

#include "utils/checks.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

LossSplit initial_constant_loss(const std::vector<double>& rain, double initial_loss,
                                double constant_rate, double impervious, double step_hours) {
    require_non_negative("initial_loss", initial_loss);
    require_non_negative("constant_rate", constant_rate);
    require_fraction("impervious", impervious);
    require_positive("step_hours", step_hours);
    require_depths("rain", rain);

    const std::size_t n = rain.size();
    LossSplit split{std::vector<double>(n), std::vector<double>(n)};
    const SplitWriter writer(split, impervious);
    const double* const depth = rain.data();
    const double capacity = constant_rate * step_hours;
    double left = initial_loss;
    WorkMeter meter;
    meter.in_pieces(0, n, 4, [&](std::size_t first, std::size_t last) {
        // The state lives in a register while the loop runs (a captured reference
        // could alias the output), and once the initial loss is filled taken is 0
        // at every interval: the rest of the loop has no chain from one to the next.
        const SplitWriter put = writer;
        double remaining = left;
        std::size_t i = first;
        for (; i < last && remaining > 0.0; ++i) {
            const double taken = depth[i] < remaining ? depth[i] : remaining;
            remaining -= taken;
            const double rest = depth[i] - taken;
            const double lost = rest < capacity ? rest : capacity;
            put(i, depth[i], rest - lost);
        }
        for (; i < last; ++i) {
            const double rest = depth[i] - 0.0;
            const double lost = rest < capacity ? rest : capacity;
            put(i, depth[i], rest - lost);
        }
        left = remaining;
    });
    return split;
}

}  // namespace rainmill
