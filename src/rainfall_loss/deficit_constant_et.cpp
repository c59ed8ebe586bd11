#include "rainfall_loss/deficit_constant_et.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/series_block.hpp"

namespace rainmill {

namespace {

inline double smaller(double a, double b) { return b < a ? b : a; }

// Intervals [first, last) of a run whose series start at `block` (N = n);
// parameters and the deficit are locals, so stores into the block reload
// nothing.
// Not inlined: inlined into the caller, whose storages outlive the call in
// memory, the compiler would store and reload them at every interval.
[[gnu::noinline]] void deficit_steps(const double* water, const double* pet, std::size_t n,
                                     double* block, std::size_t first, std::size_t last,
                                     const DeficitConstantEtParameters p, const double step_hours,
                                     double& state) {
    double* const excess_out = block;
    double* const percolation_out = excess_out + n;
    double* const et_out = percolation_out + n;
    double* const deficit_out = et_out + n;
    const double constant = p.constant_rate * step_hours;
    double deficit = state;
    for (std::size_t i = first; i < last; ++i) {
        // Both branches computed and one kept: without water the wet
        // branch's terms are all zero (water and the deficit are >= 0), so
        // the results are those of the documented branches, without a
        // mispredicted jump on every change of weather.
        const double percolation = smaller(water[i], constant);
        const double rest = water[i] - percolation;
        const double fill = smaller(rest, deficit);
        const double excess = rest - fill;
        const double demand = smaller(pet[i] * p.et_coefficient, p.max_deficit - deficit);
        const double et = demand * static_cast<double>(!(water[i] > 0.0));
        deficit = (deficit - fill) + et;
        excess_out[i] = excess;
        percolation_out[i] = percolation;
        et_out[i] = et;
        deficit_out[i + 1] = deficit;
    }
    state = deficit;
}

#if defined(__SSE2__)
// The same intervals, the same operations, with a shorter chain from one
// deficit to the next (the chain, not the arithmetic, bounds the loop): the
// deficit adds the dry-weather demand kept by a mask of bits instead of the
// demand multiplied by 0 or 1 (et, an output only, is still the product); a
// fifth less time an interval. The two agree to the bit except where the
// deficit is -0: a wet interval then adds +0 here where the product may be
// -0, so a run starting from -0 takes deficit_steps. Written with the SSE2
// operations themselves: the compiler turns the same selections in plain C++
// into jumps that the weather mispredicts.
// It also tells whether every water and pet value was a depth (finite and
// >= 0, -0 included, as require_depths asks) in `depths`: two comparisons in
// the shadow of the chain instead of a pass over each series before the run.
[[gnu::noinline]] void deficit_steps_masked(const double* water, const double* pet, std::size_t n,
                                            double* block, std::size_t first, std::size_t last,
                                            const DeficitConstantEtParameters p,
                                            const double step_hours, double& state, bool& depths) {
    double* const excess_out = block;
    double* const percolation_out = excess_out + n;
    double* const et_out = percolation_out + n;
    double* const deficit_out = et_out + n;
    const __m128d zero = _mm_setzero_pd();
    const __m128d constant = _mm_set_sd(p.constant_rate * step_hours);
    const __m128d max_deficit = _mm_set_sd(p.max_deficit);
    const __m128d coefficient = _mm_set_sd(p.et_coefficient);
    const __m128d largest = _mm_set_sd(std::numeric_limits<double>::max());
    __m128d deficit = _mm_set_sd(state);
    __m128d refused = zero;
    for (std::size_t i = first; i < last; ++i) {
        // _mm_min_sd(b, a) is smaller(a, b): b where b < a, else a.
        const __m128d w = _mm_load_sd(water + i);
        const __m128d e = _mm_load_sd(pet + i);
        // Not >= 0 (NaN included) or above the largest double: not a depth.
        refused = _mm_or_pd(refused, _mm_or_pd(_mm_cmpnge_sd(w, zero), _mm_cmpgt_sd(w, largest)));
        refused = _mm_or_pd(refused, _mm_or_pd(_mm_cmpnge_sd(e, zero), _mm_cmpgt_sd(e, largest)));
        const __m128d wet = _mm_cmpgt_sd(w, zero);
        const __m128d percolation = _mm_min_sd(constant, w);
        const __m128d rest = _mm_sub_sd(w, percolation);
        const __m128d fill = _mm_min_sd(deficit, rest);
        const __m128d excess = _mm_sub_sd(rest, fill);
        const __m128d demand =
            _mm_min_sd(_mm_sub_sd(max_deficit, deficit), _mm_mul_sd(e, coefficient));
        const __m128d dry_demand = _mm_andnot_pd(wet, demand);
        const __m128d et = _mm_or_pd(dry_demand, _mm_and_pd(wet, _mm_mul_sd(demand, zero)));
        deficit = _mm_add_sd(_mm_sub_sd(deficit, fill), dry_demand);
        _mm_store_sd(excess_out + i, excess);
        _mm_store_sd(percolation_out + i, percolation);
        _mm_store_sd(et_out + i, et);
        _mm_store_sd(deficit_out + i + 1, deficit);
    }
    state = _mm_cvtsd_f64(deficit);
    if ((_mm_movemask_pd(refused) & 1) != 0) depths = false;
}
#endif

}  // namespace

// Each interval (constant = constant_rate * dt, computed once):
//   water > 0: percolation = min(water, constant); rest = water - percolation
//              fill = min(rest, D); D -= fill; excess = rest - fill
//   otherwise: et = min(pet * et_coefficient, max_deficit - D); D += et
DeficitConstantEtResult run_deficit_constant_et(const std::vector<double>& water,
                                                const std::vector<double>& pet, double step_hours,
                                                const DeficitConstantEtParameters& p,
                                                double initial_deficit) {
    require_positive("step_hours", step_hours);
    require_non_negative("max_deficit", p.max_deficit);
    require_non_negative("constant_rate", p.constant_rate);
    require_non_negative("et_coefficient", p.et_coefficient);
    require_between("initial_deficit", initial_deficit, 0.0, p.max_deficit);
    const std::size_t n = water.size();
#if defined(__SSE2__)
    // The masked loop checks the depths as it goes and takes a run of equal
    // lengths whose deficit is not -0; any other run is checked here first.
    const bool masked = pet.size() == n && !std::signbit(initial_deficit);
#else
    const bool masked = false;
#endif
    if (!masked) {
        require_depths("water", water);
        require_same_length("pet", pet, "water", n);
        require_depths("pet", pet);
    }
    DeficitConstantEtResult r;
    r.steps = n;
    WorkMeter meter;
    r.block = allocate_series_block(3 * n + (n + 1), meter);
    double* const block = r.block.data();
    double deficit = initial_deficit;
    block[3 * n] = deficit;
    bool depths = true;
    meter.in_pieces(0, n, 12, [&](std::size_t first, std::size_t last) {
#if defined(__SSE2__)
        if (masked) {
            deficit_steps_masked(water.data(), pet.data(), n, block, first, last, p, step_hours,
                                 deficit, depths);
            return;
        }
#endif
        deficit_steps(water.data(), pet.data(), n, block, first, last, p, step_hours, deficit);
    });
    if (!depths) {
        // The same refusal, naming the first value that is not a depth, as
        // the checks before the run give.
        require_depths("water", water);
        require_depths("pet", pet);
        throw InternalFailure("deficit_constant_et: a value was refused that no check names");
    }
    return r;
}

}  // namespace rainmill
