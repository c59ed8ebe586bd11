#include "rainfall_loss/scs_curve_number.hpp"

#include <string>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

double scs_potential_retention(double curve_number) { return 1000.0 / curve_number - 10.0; }

LossSplit scs_curve_number_loss(const std::vector<double>& rain, double curve_number,
                                double initial_abstraction_ratio, double impervious) {
    if (!(0.0 < curve_number && curve_number <= 100.0)) {
        throw InvalidInput("cn must lie in (0, 100], got " + format_number(curve_number));
    }
    require_non_negative("initial_abstraction_ratio", initial_abstraction_ratio);
    require_fraction("impervious", impervious);
    require_depths("rain", rain);

    const double retention = scs_potential_retention(curve_number);
    const double abstraction = initial_abstraction_ratio * retention;
    const std::size_t n = rain.size();
    LossSplit split{std::vector<double>(n), std::vector<double>(n)};
    const SplitWriter writer(split, impervious);
    const double* const depth = rain.data();
    double cumulative = 0.0;
    double runoff_before = 0.0;
    WorkMeter meter;
    meter.in_pieces(0, n, 8, [&](std::size_t first, std::size_t last) {
        // The running sums stay in registers (a captured reference could alias the output).
        const SplitWriter put = writer;
        double total = cumulative;
        double before = runoff_before;
        for (std::size_t i = first; i < last; ++i) {
            total += depth[i];
            const double above = total - abstraction;
            const double runoff = above > 0.0 ? above * above / (above + retention) : 0.0;
            const double increment = runoff - before;
            before = runoff;
            put(i, depth[i], increment < 0.0 ? 0.0 : (increment > depth[i] ? depth[i] : increment));
        }
        cumulative = total;
        runoff_before = before;
    });
    return split;
}

}  // namespace rainmill
