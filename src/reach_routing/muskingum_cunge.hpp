// Variable-parameter Muskingum–Cunge routing of a prismatic (trapezoidal)
// channel (Cunge, 1969; Ponce and Yevjevich, 1978), in US customary units:
// feet, cubic feet per second, Manning's n with the 1.486 factor.
#pragma once

#include <vector>

namespace rainmill {

struct PrismaticChannel {
    double length;        // ft
    double slope;         // ft/ft
    double manning_n;     // s/ft^(1/3)
    double bottom_width;  // ft
    double side_slope;    // horizontal per vertical
};

// Normal depth (ft) of `flow` (> 0) by Newton's method from `guess` (> 0) on
// Manning's equation cubed: with A = y (b + z y), P = b + 2 y sqrt(1 + z^2),
// T = b + 2 z y and k = (1.486 / n) sqrt(S), the root of
// g(y) = A^5 / P^2 - (Q / k)^3 (Q / k taken as Q (1 / k)): y <- y - step
// with v = A^4 A - (Q / k)^3 P^2
// (g P^2), r = A^4 (5 T P - 2 A P') (g' P^3) and step = v P / r, halving y
// instead whenever a step would leave it <= 0, until |step| <= 1e-10 y or
// 100 iterations. No fractional power is taken.
[[nodiscard]] double normal_depth(const PrismaticChannel& channel, double flow, double guess);

// Routes `inflow` (cfs at the points, step `dt` seconds). The grid: the peak
// inflow Qp (at least kMinimumFlow) sets the celerity c and top width T, the
// sub-reach length follows Ponce and Theurer (1982),
// dx = 0.5 (c dt + Qp / (T S c)), rounded so that a whole number of equal
// sub-reaches fills the reach, and each step is split into
// m = ceil(c dt / dx) internal steps so that the Courant number stays at or
// below 1 at the peak. The inflow between points is linear in time.
//
// Per internal step and sub-reach, upstream to downstream: the reference
// flow is the three-point average (Q_j^n + Q_j^{n+1} + Q_{j+1}^n) (1 / 3)
// (Ponce and Chaganti, 1994), at least kMinimumFlow; its normal depth
// (warm-started from the sub-reach's last depth) gives the celerity
// c = Q (5 T P - 2 P' A) / (3 A T P), the Courant number C = c (dt / dx)
// and the cell Reynolds number D = Q / (T (S dx) c); cunge_coefficients
// gives C0, C1, C2 and
// Q_{j+1}^{n+1} = (C0 Q_j^{n+1} + C1 Q_j^n) + C2 Q_{j+1}^n. C0 < 0 on a steep
// rise into a nearly dry reach gives negative values: the cell keeps what it
// owes (0 at the start), its outflow is v = routed - owed when v >= 0 (owing
// nothing then), else 0 (owing -v), so the clamp creates no water. Every node
// starts at the first inflow. The steps are taken by diagonals (sub-reach j's
// internal step s with j + s fixed, downstream first), which depend only on
// earlier diagonals, and the Newton solves of up to four of a diagonal run in
// step, so that their chains of divisions overlap: each step's arithmetic is
// as in a sweep of one internal step at a time. Throws InvalidInput for an
// invalid channel.
//
// Like every variable-parameter form, the scheme is not exactly
// conservative: within a fraction of a percent on a reach that carries a base
// flow, it gains water on a nearly dry one (9 % for a flood into a dry bed in
// the tests). Each step keeps the continuity of the storage
// K (X I + (1 - X) O) with K and X of its own reference flow, so the water in
// a sub-reach is valued anew as they change (Todini, 2007): as the flow falls,
// K = dx / c grows and the reach gives out more than it holds; the clamp where
// C0 < 0 adds to it. The error grows with dx (see the README).
[[nodiscard]] std::vector<double> route_muskingum_cunge(const std::vector<double>& inflow,
                                                        const PrismaticChannel& channel, double dt);

// The routing coefficients of a cell from its Courant number C and cell
// Reynolds number D (Ponce, 1989, chapter 9): with e = 1 / (1 + C + D),
// c0 = (-1 + C + D) e, c1 = (1 + C - D) e, c2 = (1 - C + D) e (one division).
struct CungeCoefficients {
    double c0;
    double c1;
    double c2;
};
inline CungeCoefficients cunge_coefficients(double courant, double cell_reynolds) {
    const double e = 1.0 / (1.0 + courant + cell_reynolds);
    return {(-1.0 + courant + cell_reynolds) * e, (1.0 + courant - cell_reynolds) * e,
            (1.0 - courant + cell_reynolds) * e};
}

// One cell with constant parameters (the constant-parameter method, its
// parameters taken from a reference flow by the caller): outflow[0] =
// inflow[0], then outflow[t] = (c0 inflow[t] + c1 inflow[t-1]) +
// c2 outflow[t-1], negative results kept (the caller chose the grid).
[[nodiscard]] std::vector<double> route_cunge_cell(const std::vector<double>& inflow,
                                                   double courant, double cell_reynolds);

// The floor of the reference flow (cfs): a dry channel has no celerity.
inline constexpr double kMinimumFlow = 1e-6;

}  // namespace rainmill
