#include "distributed/modclark.hpp"

#include <cmath>

#include "rainfall_transform/unit_hydrograph.hpp"
#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

namespace {

// Lags beyond this many steps are no travel time of a subbasin's cell.
constexpr double kLongestLag = 1e7;

}  // namespace

std::vector<double> lagged_mean_excess(const std::vector<double>& excess,
                                       const std::vector<double>& lags,
                                       const std::vector<double>& weights, bool shared) {
    const std::size_t cells = lags.size();
    if (cells == 0) throw InvalidInput("lags: needs at least one cell");
    require_same_length("weights", weights, "lags", cells);
    if (!shared && excess.size() % cells != 0) {
        throw InvalidInput("excess: its length is not a whole number of intervals of every cell");
    }
    require_depths("excess", excess);
    require_depths("weights", weights);
    for (const double lag : lags) {
        if (!(lag >= 0.0 && lag <= kLongestLag)) {
            throw InvalidInput("lags: every travel time must lie in [0, 1e7] steps");
        }
    }
    const std::size_t steps = shared ? excess.size() : excess.size() / cells;
    const std::size_t row_size = shared ? 1 : cells;
    const std::size_t stride = shared ? 0 : 1;
    // Each lag's whole steps and fraction, taken once rather than per interval.
    std::vector<std::size_t> whole(cells);
    std::vector<double> fraction(cells);
    for (std::size_t c = 0; c < cells; ++c) {
        const double steps_down = std::floor(lags[c]);
        whole[c] = static_cast<std::size_t>(steps_down);
        fraction[c] = lags[c] - steps_down;
    }
    std::vector<double> mean(steps, 0.0);
    const double* const depth = excess.data();
    WorkMeter meter;
    meter.in_pieces(0, steps, static_cast<std::int64_t>(3 * cells),
                    [&](std::size_t first, std::size_t last) {
                        for (std::size_t t = first; t < last; ++t) {
                            const double* const row = depth + t * row_size;
                            for (std::size_t c = 0; c < cells; ++c) {
                                const double share = weights[c] * row[c * stride];
                                const std::size_t k = whole[c];
                                if (k >= steps - t) continue;
                                const double f = fraction[c];
                                mean[t + k] += (1.0 - f) * share;
                                if (f > 0.0 && k + 1 < steps - t) mean[t + k + 1] += f * share;
                            }
                        }
                    });
    return mean;
}

std::vector<double> modclark_transform(const std::vector<double>& excess,
                                       const std::vector<double>& lags,
                                       const std::vector<double>& weights,
                                       const std::vector<double>& reservoir, bool shared) {
    require_finite_series("reservoir", reservoir);
    return convolve_unit_hydrograph(lagged_mean_excess(excess, lags, weights, shared), reservoir);
}

}  // namespace rainmill
