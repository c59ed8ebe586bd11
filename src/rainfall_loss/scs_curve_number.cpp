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

// The pervious excess of an interval: the runoff's increment kept within
// [0, rain] against rounding.
inline double kept_increment(double increment, double rain) {
    return increment < 0.0 ? 0.0 : (increment > rain ? rain : increment);
}

// The intervals [first, last), from the running sum `cumulative` and the
// runoff `runoff_before` of the interval before `first` (both carried on),
// interval after interval. The running sums stay in registers (a captured
// reference could alias the output).
void curve_number_steps(const double* depth, std::size_t first, std::size_t last,
                        double abstraction, double retention, const SplitWriter& writer,
                        double& cumulative, double& runoff_before) {
    const SplitWriter put = writer;
    double total = cumulative;
    double before = runoff_before;
    for (std::size_t i = first; i < last; ++i) {
        total += depth[i];
        const double above = total - abstraction;
        const double runoff = above > 0.0 ? above * above / (above + retention) : 0.0;
        put(i, depth[i], kept_increment(runoff - before, depth[i]));
        before = runoff;
    }
    cumulative = total;
    runoff_before = before;
}

#if defined(__x86_64__)
// Intervals per block of curve_number_blocks: its running sums fit in L1
// next to the rain and the two outputs of the block.
constexpr std::size_t kBlock = 64;

// curve_number_steps in blocks, for processors with AVX2. The running sum is
// the loop's one dependent chain (one addition per interval); Q of each sum
// and the increments are independent of each other, so each block takes its
// sums first and then the rest in loops without a branch, which vectorise:
// the divisions, an interval's dearest operations, go four at a time (some
// 1.4 times faster; with two at a time, SSE2's, no faster than the plain
// loop). Each value is computed by the same operations in the same order, so
// no bit changes (nothing is contracted).
__attribute__((target("avx2"))) void curve_number_blocks(
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
        put(start, rain[0], kept_increment(runoff[0] - before, rain[0]));
        for (std::size_t j = 1; j < count; ++j) {
            put(start + j, rain[j], kept_increment(runoff[j] - runoff[j - 1], rain[j]));
        }
        before = runoff[count - 1];
    }
    cumulative = total;
    runoff_before = before;
}
#endif

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
    auto* steps = &curve_number_steps;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) steps = &curve_number_blocks;
#endif
    meter.in_pieces(0, n, 4, [&](std::size_t first, std::size_t last) {
        steps(rain.data(), first, last, abstraction, retention, writer, cumulative, runoff_before);
    });
    return split;
}

}  // namespace rainmill
