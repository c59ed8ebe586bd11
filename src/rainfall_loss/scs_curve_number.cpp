#include "rainfall_loss/scs_curve_number.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

// Intervals per block of the loop below: its running sums fit in L1 next to
// the rain and the two outputs of the block.
constexpr std::size_t kBlock = 64;

// The intervals [first, last), from the running sum `cumulative` and the
// runoff `runoff_before` of the interval before `first` (both carried on).
// The running sum is the loop's one dependent chain (one addition per
// interval); Q of each sum and the increments are independent of each other,
// so each block takes its sums first and then the rest in loops without a
// branch, which vectorise: the divisions, the step's dearest operations, go
// four at a time in the AVX2 copy (chosen at load time where the processor
// has it). Each value is computed by the same operations in the same order as
// interval after interval, so no bit changes (nothing is contracted).
__attribute__((target_clones("avx2", "default"))) void curve_number_steps(
    const double* depth, std::size_t first, std::size_t last, double abstraction, double retention,
    const SplitWriter& writer, double& cumulative, double& runoff_before) {
    alignas(64) double runoff[kBlock];
    const SplitWriter put = writer;
    double total = cumulative;
    double before = runoff_before;
    for (std::size_t start = first; start < last; start += kBlock) {
        const std::size_t count = std::min(kBlock, last - start);
        const double* const rain = depth + start;
        for (std::size_t j = 0; j < count; ++j) {
            total += rain[j];
            runoff[j] = total;
        }
        for (std::size_t j = 0; j < count; ++j) {
            const double above = runoff[j] - abstraction;
            const double q = above * above / (above + retention);
            // Q = 0 at or below the initial abstraction, chosen by a mask (a
            // select the compiler keeps as a jump would not vectorise).
            const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(above > 0.0);
            runoff[j] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(q) & keep);
        }
        const auto clamp = [](double increment, double rain_i) {
            return increment < 0.0 ? 0.0 : (increment > rain_i ? rain_i : increment);
        };
        put(start, rain[0], clamp(runoff[0] - before, rain[0]));
        for (std::size_t j = 1; j < count; ++j) {
            put(start + j, rain[j], clamp(runoff[j] - runoff[j - 1], rain[j]));
        }
        before = runoff[count - 1];
    }
    cumulative = total;
    runoff_before = before;
}

}  // namespace

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
    double cumulative = 0.0;
    double runoff_before = 0.0;
    WorkMeter meter;
    meter.in_pieces(0, n, 4, [&](std::size_t first, std::size_t last) {
        curve_number_steps(rain.data(), first, last, abstraction, retention, writer, cumulative,
                           runoff_before);
    });
    return split;
}

}  // namespace rainmill
