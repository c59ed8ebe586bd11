// Kinematic-wave routing (overland planes and channels of standard shapes),
// in US customary units: feet, seconds, cubic feet per second, Manning's n
// with the 1.486 factor.
//
// A reach of length L is cut into `cells` equal cells of dx = L / cells. Its
// state is the flow area A_j of each cell (ft^2; for a plane of width W the
// depth times W). Manning's equation with R = A / P gives the flow
// Q(A) = k A cbrt((A / P)^2), k = (1.486 / n) sqrt(S); Q(A) = 0 for A <= 0.
// The section: a plane has P = W (its width, the bottom width) whatever the
// depth; a trapezoid of bottom width b and side slope z (a rectangle: z = 0,
// a triangle: b = 0) has depth y = A / b when z = 0, else
// y = 2 A / (b + sqrt(b^2 + 4 z A)), and P = b + 2 y sqrt(1 + z^2).
//
// The four-point scheme, explicit and upwind in conservation form: over an
// internal step tau, with Q_j = Q(A_j) all taken first from the state at the
// step's start, A_j <- A_j + (in_j - Q_j) (tau / dx) + q tau, in_0 the
// upstream inflow and in_j = Q_{j-1}, and q the lateral inflow (ft^2/s per ft
// of length). tau = min(left, dx / c) with c = (5/3) max_j Q_j / A_j, a bound
// of the celerity dQ/dA for every section here, so the Courant number stays
// at or below 1 (tau = left when nothing flows). The upstream inflow between
// two points is linear in time and taken at the internal step's midpoint, so
// the volume entering is the inflow's trapezoidal volume. The outflow volume
// of an interval is the sum of Q_{cells-1} tau over its internal steps, and
// the water is conserved to rounding: in = out + change of storage.
#pragma once

#include <cstddef>
#include <vector>

namespace rainmill {

enum class KinematicShape { plane, trapezoid };

struct KinematicSection {
    KinematicShape shape;
    double length;        // ft
    double slope;         // ft/ft
    double manning_n;     // s/ft^(1/3)
    double bottom_width;  // ft (a plane's width)
    double side_slope;    // horizontal per vertical (0 for a plane)
};

// Throws InvalidInput for a section that cannot carry water.
void check_kinematic_section(const KinematicSection& section, std::size_t cells);

struct KinematicResult {
    std::vector<double> outflow;  // cfs at the points
    std::vector<double> volume;   // cubic feet leaving in each interval
    std::vector<double> storage;  // cubic feet held at the points
};

// Routes `inflow` (cfs at the points, step `dt` seconds) through a channel
// that starts in steady state at the first inflow: every cell at the area
// whose flow is the first inflow, found by doubling hi from 1 ft^2 until
// Q(hi) >= I_0, then 100 bisections of [0, hi] (mid = 0.5 (lo + hi); lo = mid
// while Q(mid) < I_0, else hi = mid), the area being hi (0 when I_0 = 0).
[[nodiscard]] KinematicResult route_kinematic_wave(const std::vector<double>& inflow,
                                                   const KinematicSection& channel,
                                                   std::size_t cells, double dt);

// Excess (inches per interval over `area_acres`) over a plane of length
// `plane.length` and width W = 43560 area / length (its lateral inflow in
// interval t is (excess_t / 12 / dt) W), whose outflow, as the volume of
// each interval spread evenly over the interval and the channel's length,
// feeds `channel` (skipped when its length is 0). Both start dry. Flows and
// volumes are the channel's (the plane's without one), storage the sum.
[[nodiscard]] KinematicResult kinematic_wave_transform(const std::vector<double>& excess,
                                                       double area_acres,
                                                       const KinematicSection& plane,
                                                       const KinematicSection& channel,
                                                       std::size_t cells, double dt);

}  // namespace rainmill
