#include "metrics/kge.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "utils/errors.hpp"

namespace rainmill {

namespace {

// Offset of the log transform and floor of every divisor: one constant for
// both, so that zero flows, zero means and flat series all stay finite.
constexpr double kEpsilon = 1e-6;

double kge_of(const std::vector<double>& sim, const std::vector<double>& obs) {
    const std::size_t count = obs.size();
    const double n = static_cast<double>(count);
    // Both sums left to right from -0.0 (a series of all -0.0 keeps its sign),
    // in one pass: the two chains are independent, so each keeps its order.
    double sum_sim = -0.0;
    double sum_obs = -0.0;
    for (std::size_t k = 0; k < count; ++k) {
        sum_sim += sim[k];
        sum_obs += obs[k];
    }
    const double mean_sim = sum_sim / n;
    const double mean_obs = sum_obs / n;

    double ss_sim = 0.0;
    double ss_obs = 0.0;
    double sp_obs_sim = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        const double dev_sim = sim[k] - mean_sim;
        const double dev_obs = obs[k] - mean_obs;
        ss_sim += dev_sim * dev_sim;
        ss_obs += dev_obs * dev_obs;
        sp_obs_sim += dev_obs * dev_sim;
    }

    // A flat series has no defined correlation: score it as r = 0.
    const double norm = std::sqrt(ss_obs * ss_sim);
    double correlation_term = 1.0;
    if (!(norm < kEpsilon)) {
        const double r = sp_obs_sim / norm;
        correlation_term = (r - 1.0) * (r - 1.0);
    }

    // A near-zero observed mean of either sign is replaced by +epsilon.
    const double guarded_mean_obs = std::fabs(mean_obs) < kEpsilon ? kEpsilon : mean_obs;
    const double beta = mean_sim / guarded_mean_obs;

    // Population deviations (divided by n). std::max(eps, NaN) keeps eps, so a
    // NaN only reaches the result through the other terms.
    const double std_sim = std::sqrt(ss_sim / n);
    const double std_obs = std::sqrt(ss_obs / n);
    const double gamma = std_sim / std::max(kEpsilon, std_obs);

    // This grouping of the three squares fixes the last bits of the score.
    const double distance_sq =
        (gamma - 1.0) * (gamma - 1.0) + ((beta - 1.0) * (beta - 1.0) + correlation_term);
    return 1.0 - std::sqrt(distance_sq);
}

std::vector<double> log_transformed(const std::vector<double>& values) {
    std::vector<double> out;
    out.reserve(values.size());
    // Not screened: -1e-6 gives -inf and anything below it NaN, by design.
    for (double value : values) out.push_back(std::log(value + kEpsilon));
    return out;
}

}  // namespace

double calculate_kge(const std::vector<double>& sim, const std::vector<double>& obs, bool use_log) {
    if (obs.empty()) throw InvalidInput("Observed series is empty.");
    if (sim.size() != obs.size()) throw InvalidInput("Series length mismatch.");
    if (use_log) return kge_of(log_transformed(sim), log_transformed(obs));
    return kge_of(sim, obs);
}

}  // namespace rainmill
