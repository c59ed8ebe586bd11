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
    double* const excess = split.excess.data();
    const double* const depth = rain.data();
    const double capacity = constant_rate * step_hours;
    double left = initial_loss;
    WorkMeter meter;
    meter.in_pieces(0, n, 4, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const double taken = depth[i] < left ? depth[i] : left;
            left -= taken;
            const double rest = depth[i] - taken;
            const double lost = rest < capacity ? rest : capacity;
            excess[i] = rest - lost;
        }
    });
    add_impervious_share(rain, impervious, split);
    return split;
}

}  // namespace rainmill
