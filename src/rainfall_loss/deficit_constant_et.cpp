#include "rainfall_loss/deficit_constant_et.hpp"

#include <cstddef>

#include "utils/checks.hpp"
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
    require_depths("water", water);
    require_same_length("pet", pet, "water", water.size());
    require_depths("pet", pet);

    const std::size_t n = water.size();
    DeficitConstantEtResult r;
    r.steps = n;
    r.block = allocate_series_block(3 * n + (n + 1));
    double* const block = r.block.data();
    double deficit = initial_deficit;
    block[3 * n] = deficit;
    WorkMeter meter;
    meter.in_pieces(0, n, 12, [&](std::size_t first, std::size_t last) {
        deficit_steps(water.data(), pet.data(), n, block, first, last, p, step_hours, deficit);
    });
    return r;
}

}  // namespace rainmill
