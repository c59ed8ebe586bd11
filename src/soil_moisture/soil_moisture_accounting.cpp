#include "soil_moisture/soil_moisture_accounting.hpp"

#include <algorithm>
#include <cmath>

#include "utils/checks.hpp"
#include "utils/interrupt.hpp"
#include "utils/series_block.hpp"

namespace rainmill {

namespace {

// The smaller of two numbers, the first on a tie (as Python's min).
inline double smaller(double a, double b) { return b < a ? b : a; }
inline double larger(double a, double b) { return b > a ? b : a; }

}  // namespace

void check_soil_moisture(const std::vector<double>& water, const std::vector<double>& pet,
                         double step_hours, const SoilMoistureParameters& p,
                         const SoilMoistureStates& initial) {
    require_positive("step_hours", step_hours);
    require_non_negative("canopy_max", p.canopy_max);
    require_non_negative("surface_max", p.surface_max);
    require_positive("soil_max", p.soil_max);
    require_between("tension_max", p.tension_max, 0.0, p.soil_max);
    require_non_negative("max_infiltration", p.max_infiltration);
    require_non_negative("soil_percolation", p.soil_percolation);
    require_non_negative("gw1_max", p.gw1_max);
    require_non_negative("gw1_percolation", p.gw1_percolation);
    require_positive("gw1_coefficient", p.gw1_coefficient);
    require_non_negative("gw2_max", p.gw2_max);
    require_non_negative("gw2_percolation", p.gw2_percolation);
    require_positive("gw2_coefficient", p.gw2_coefficient);
    require_between("initial_canopy", initial.canopy, 0.0, p.canopy_max);
    require_between("initial_surface", initial.surface, 0.0, p.surface_max);
    require_between("initial_soil", initial.soil, 0.0, p.soil_max);
    require_between("initial_gw1", initial.gw1, 0.0, p.gw1_max);
    require_between("initial_gw2", initial.gw2, 0.0, p.gw2_max);
    require_depths("water", water);
    require_same_length("pet", pet, "water", water.size());
    require_depths("pet", pet);
}

namespace {

// Intervals [first, last) of a run whose series start at `block` (N = n):
// the parameters are copied in and the storages kept in locals, so that no
// store into the block makes the compiler reload them.
// Not inlined: inlined into the caller, whose storages outlive the call in
// memory, the compiler would store and reload them at every interval.
[[gnu::noinline]] void soil_moisture_steps(const double* water, const double* pet, std::size_t n,
                                           double* block, std::size_t first, std::size_t last,
                                           const SoilMoistureParameters p, const double step_hours,
                                           SoilMoistureStates& state) {
    double* const excess_out = block;
    double* const gw1_outflow_out = excess_out + n;
    double* const gw2_outflow_out = gw1_outflow_out + n;
    double* const canopy_et_out = gw2_outflow_out + n;
    double* const surface_et_out = canopy_et_out + n;
    double* const soil_et_out = surface_et_out + n;
    double* const infiltration_out = soil_et_out + n;
    double* const percolation_out = infiltration_out + n;
    double* const gw_percolation_out = percolation_out + n;
    double* const deep_out = gw_percolation_out + n;
    double* const canopy_out = deep_out + n;
    double* const surface_out = canopy_out + (n + 1);
    double* const soil_out = surface_out + (n + 1);
    double* const gw1_out = soil_out + (n + 1);
    double* const gw2_out = gw1_out + (n + 1);

    const double infiltration_step = p.max_infiltration * step_hours;
    const double percolation_step = p.soil_percolation * step_hours;
    const double gw1_percolation_step = p.gw1_percolation * step_hours;
    const double gw2_percolation_step = p.gw2_percolation * step_hours;
    const double gw1_recession = 1.0 - std::exp(-(step_hours / p.gw1_coefficient));
    const double gw2_recession = 1.0 - std::exp(-(step_hours / p.gw2_coefficient));
    const double lower = p.soil_max - p.tension_max;
    const bool has_gw1 = p.gw1_max > 0.0;
    const bool has_gw2 = has_gw1 && p.gw2_max > 0.0;
    const bool deep_loss = p.gw2_max > 0.0;

    double c = state.canopy;
    double f = state.surface;
    double s = state.soil;
    double g1 = state.gw1;
    double g2 = state.gw2;
    for (std::size_t i = first; i < last; ++i) {
        const double intercepted = smaller(water[i], p.canopy_max - c);
        c = c + intercepted;
        const double through = water[i] - intercepted;
        const double canopy_et = smaller(pet[i], c);
        c = c - canopy_et;
        double demand = pet[i] - canopy_et;

        f = f + through;
        const double free = p.soil_max - s;
        const double infiltration =
            smaller(smaller(f, infiltration_step * (free / p.soil_max)), free);
        f = f - infiltration;
        s = s + infiltration;
        const double excess = larger(f - p.surface_max, 0.0);
        f = f - excess;
        const double surface_et = smaller(demand, f);
        f = f - surface_et;
        demand = demand - surface_et;

        const double tension_et = smaller(demand, larger(s - lower, 0.0));
        s = s - tension_et;
        demand = demand - tension_et;
        const double reduced_et = lower > 0.0 ? smaller(demand * (s / lower), s) : 0.0;
        s = s - reduced_et;

        double percolation = 0.0;
        if (has_gw1 && s > lower) {
            const double upper = s - lower;
            percolation = smaller(
                smaller(percolation_step * (upper / p.tension_max) * ((p.gw1_max - g1) / p.gw1_max),
                        upper),
                p.gw1_max - g1);
            s = s - percolation;
            g1 = g1 + percolation;
        }
        const double gw1_outflow = g1 * gw1_recession;
        g1 = g1 - gw1_outflow;
        double gw_percolation = 0.0;
        if (has_gw2) {
            gw_percolation = smaller(
                smaller(gw1_percolation_step * (g1 / p.gw1_max) * ((p.gw2_max - g2) / p.gw2_max),
                        g1),
                p.gw2_max - g2);
            g1 = g1 - gw_percolation;
            g2 = g2 + gw_percolation;
        }
        const double gw2_outflow = g2 * gw2_recession;
        g2 = g2 - gw2_outflow;
        double deep = 0.0;
        if (deep_loss) {
            deep = smaller(gw2_percolation_step * (g2 / p.gw2_max), g2);
            g2 = g2 - deep;
        }

        excess_out[i] = excess;
        gw1_outflow_out[i] = gw1_outflow;
        gw2_outflow_out[i] = gw2_outflow;
        canopy_et_out[i] = canopy_et;
        surface_et_out[i] = surface_et;
        soil_et_out[i] = tension_et + reduced_et;
        infiltration_out[i] = infiltration;
        percolation_out[i] = percolation;
        gw_percolation_out[i] = gw_percolation;
        deep_out[i] = deep;
        canopy_out[i + 1] = c;
        surface_out[i + 1] = f;
        soil_out[i + 1] = s;
        gw1_out[i + 1] = g1;
        gw2_out[i + 1] = g2;
    }
    state = SoilMoistureStates{c, f, s, g1, g2};
}

}  // namespace

// One interval, in this order (each line one rounding, left to right):
//   canopy:  intercepted = min(p, canopy_max - C); C += intercepted; through = p - intercepted
//            canopy_et = min(e, C); C -= canopy_et; demand = e - canopy_et
//   surface: F += through; free = soil_max - S
//            infiltration = min(min(F, max_infiltration*dt * (free / soil_max)), free)
//            F -= infiltration; S += infiltration
//            excess = max(F - surface_max, 0); F -= excess
//            surface_et = min(demand, F); F -= surface_et; demand -= surface_et
//   soil ET: lower = soil_max - tension_max (the part below the tension zone)
//            tension_et = min(demand, max(S - lower, 0)); S -= tension_et; demand -= tension_et
//            reduced_et = lower > 0 ? min(demand * (S / lower), S) : 0; S -= reduced_et
//            soil_et = tension_et + reduced_et
//   soil -> groundwater 1, from the upper zone only (when gw1_max > 0 and S > lower):
//            upper = S - lower
//            percolation = min(min(soil_percolation*dt * (upper / tension_max)
//                                  * ((gw1_max - G1) / gw1_max), upper), gw1_max - G1)
//            S -= percolation; G1 += percolation
//   groundwater 1: gw1_outflow = G1 * (1 - exp(-(dt / gw1_coefficient))); G1 -= gw1_outflow
//            (when gw1_max > 0 and gw2_max > 0)
//            gw_percolation = min(min(gw1_percolation*dt * (G1 / gw1_max)
//                                     * ((gw2_max - G2) / gw2_max), G1), gw2_max - G2)
//            G1 -= gw_percolation; G2 += gw_percolation
//   groundwater 2: gw2_outflow = G2 * (1 - exp(-(dt / gw2_coefficient))); G2 -= gw2_outflow
//            (when gw2_max > 0) deep = min(gw2_percolation*dt * (G2 / gw2_max), G2); G2 -= deep
// The rate products (rate*dt) and the recession fractions are computed once.
SoilMoistureResult run_soil_moisture(const std::vector<double>& water,
                                     const std::vector<double>& pet, double step_hours,
                                     const SoilMoistureParameters& p,
                                     const SoilMoistureStates& initial) {
    check_soil_moisture(water, pet, step_hours, p, initial);
    const std::size_t n = water.size();
    SoilMoistureResult r;
    r.steps = n;
    WorkMeter meter;
    r.block = allocate_series_block(10 * n + 5 * (n + 1), meter);
    double* const block = r.block.data();
    SoilMoistureStates state = initial;
    block[10 * n] = state.canopy;
    block[10 * n + (n + 1)] = state.surface;
    block[10 * n + 2 * (n + 1)] = state.soil;
    block[10 * n + 3 * (n + 1)] = state.gw1;
    block[10 * n + 4 * (n + 1)] = state.gw2;

    meter.in_pieces(0, n, 40, [&](std::size_t first, std::size_t last) {
        soil_moisture_steps(water.data(), pet.data(), n, block, first, last, p, step_hours, state);
    });
    return r;
}

}  // namespace rainmill
