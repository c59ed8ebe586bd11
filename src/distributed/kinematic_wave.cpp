#include "distributed/kinematic_wave.hpp"

#include <cmath>
#include <cstdint>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

namespace {

constexpr double kManning = 1.486;
constexpr double kSquareFeetPerAcre = 43560.0;
constexpr std::size_t kMostCells = 100000;
// More internal steps than this in one interval: a step far beyond what the cells resolve.
constexpr int kMostInternalSteps = 100000;

// One reach's constants and state; the flows are a scratch row of the step.
struct Reach {
    KinematicSection section;
    double dx;
    double conveyance;  // (1.486 / n) sqrt(S)
    double wet;         // sqrt(1 + z^2)
    std::vector<double> area;
    std::vector<double> flow;

    Reach(const KinematicSection& s, std::size_t cells)
        : section(s),
          dx(s.length / static_cast<double>(cells)),
          conveyance((kManning / s.manning_n) * std::sqrt(s.slope)),
          wet(std::sqrt(1.0 + s.side_slope * s.side_slope)),
          area(cells, 0.0),
          flow(cells, 0.0) {}

    [[nodiscard]] double flow_at(double a) const {
        if (!(a > 0.0)) return 0.0;
        const double b = section.bottom_width;
        double perimeter = b;
        if (section.shape == KinematicShape::trapezoid) {
            const double z = section.side_slope;
            const double depth = z == 0.0 ? a / b : 2.0 * a / (b + std::sqrt(b * b + 4.0 * z * a));
            perimeter = b + 2.0 * depth * wet;
        }
        const double radius = a / perimeter;
        return conveyance * a * std::cbrt(radius * radius);
    }

    [[nodiscard]] double storage() const {
        double sum = 0.0;
        for (const double a : area) sum += a;
        return sum * dx;
    }

    // One interval of `dt` seconds: upstream inflow linear from `first` to
    // `last` (cfs), lateral inflow `lateral` (ft^2/s per ft). Returns the
    // volume (ft^3) that left at the downstream end.
    double advance(double dt, double first, double last, double lateral, WorkMeter& meter) {
        const std::size_t cells = area.size();
        double elapsed = 0.0;
        double left = dt;
        double leaving = 0.0;
        for (int internal = 1;; ++internal) {
            if (internal > kMostInternalSteps) {
                throw InvalidInput(
                    "dt_seconds: more than 100000 internal steps in one interval; shorten the "
                    "time step or use fewer cells");
            }
            double fastest = 0.0;
            for (std::size_t j = 0; j < cells; ++j) {
                const double q = flow_at(area[j]);
                flow[j] = q;
                if (area[j] > 0.0) {
                    const double ratio = q / area[j];
                    if (ratio > fastest) fastest = ratio;
                }
            }
            const double celerity = fastest * (5.0 / 3.0);
            double tau = left;
            bool final_step = true;
            if (celerity > 0.0) {
                const double limit = dx / celerity;
                if (limit < tau) {
                    tau = limit;
                    final_step = false;
                }
            }
            if (!(tau > 0.0)) {
                throw InvalidInput("the flow grew beyond what the kinematic wave can step");
            }
            const double upstream = first + (last - first) * ((elapsed + 0.5 * tau) / dt);
            const double ratio = tau / dx;
            const double gain = lateral * tau;
            double entering = upstream;
            for (std::size_t j = 0; j < cells; ++j) {
                const double q = flow[j];
                area[j] = area[j] + (entering - q) * ratio + gain;
                entering = q;
            }
            leaving += flow[cells - 1] * tau;
            meter.add(static_cast<std::int64_t>(cells) * 40);
            if (final_step) break;
            elapsed += tau;
            left = dt - elapsed;
            if (!(left > 0.0)) break;
        }
        return leaving;
    }

    [[nodiscard]] double outflow() const { return flow_at(area.back()); }
};

void check_step(double dt) {
    if (!(dt > 0.0 && std::isfinite(dt))) throw InvalidInput("dt_seconds: must be finite and > 0");
}

}  // namespace

void check_kinematic_section(const KinematicSection& section, std::size_t cells) {
    require_positive("length", section.length);
    require_positive("slope", section.slope);
    require_positive("manning_n", section.manning_n);
    require_non_negative("bottom_width", section.bottom_width);
    require_non_negative("side_slope", section.side_slope);
    if (section.shape == KinematicShape::plane && !(section.bottom_width > 0.0)) {
        throw InvalidInput("bottom_width: a plane needs a width > 0");
    }
    if (section.bottom_width == 0.0 && section.side_slope == 0.0) {
        throw InvalidInput(
            "bottom_width: and side_slope cannot both be 0 (the channel has no width)");
    }
    if (cells < 1 || cells > kMostCells) throw InvalidInput("cells: must lie in [1, 100000]");
    const double conveyance = (kManning / section.manning_n) * std::sqrt(section.slope);
    if (!(std::isfinite(conveyance) && conveyance > 0.0)) {
        throw InvalidInput(
            "manning_n: with the slope gives no finite conveyance (1.486 / n) sqrt(S)");
    }
}

KinematicResult route_kinematic_wave(const std::vector<double>& inflow,
                                     const KinematicSection& channel, std::size_t cells,
                                     double dt) {
    check_kinematic_section(channel, cells);
    check_step(dt);
    require_depths("inflow", inflow);
    const std::size_t n = inflow.size();
    KinematicResult result{std::vector<double>(n), std::vector<double>(n > 0 ? n - 1 : 0),
                           std::vector<double>(n)};
    if (n == 0) return result;
    Reach reach(channel, cells);
    const double start = inflow[0];
    double hi = 0.0;
    if (start > 0.0) {
        double lo = 0.0;
        hi = 1.0;
        while (reach.flow_at(hi) < start) hi *= 2.0;
        for (int i = 0; i < 100; ++i) {
            const double mid = 0.5 * (lo + hi);
            if (reach.flow_at(mid) < start) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
    }
    for (double& a : reach.area) a = hi;
    result.outflow[0] = reach.outflow();
    result.storage[0] = reach.storage();
    WorkMeter meter;
    for (std::size_t t = 1; t < n; ++t) {
        result.volume[t - 1] = reach.advance(dt, inflow[t - 1], inflow[t], 0.0, meter);
        result.outflow[t] = reach.outflow();
        result.storage[t] = reach.storage();
    }
    return result;
}

KinematicResult kinematic_wave_transform(const std::vector<double>& excess, double area_acres,
                                         const KinematicSection& plane,
                                         const KinematicSection& channel, std::size_t cells,
                                         double dt) {
    require_positive("area_acres", area_acres);
    require_positive("plane_length", plane.length);
    check_step(dt);
    require_depths("excess", excess);
    KinematicSection overland = plane;
    overland.shape = KinematicShape::plane;
    overland.bottom_width = area_acres * kSquareFeetPerAcre / plane.length;
    overland.side_slope = 0.0;
    check_kinematic_section(overland, cells);
    const bool has_channel = channel.length != 0.0;
    if (has_channel) check_kinematic_section(channel, cells);
    const std::size_t n = excess.size();
    KinematicResult result{std::vector<double>(n), std::vector<double>(n > 0 ? n - 1 : 0),
                           std::vector<double>(n)};
    if (n == 0) return result;
    Reach sheet(overland, cells);
    Reach stream(has_channel ? channel : overland, has_channel ? cells : 1);
    WorkMeter meter;
    for (std::size_t t = 1; t < n; ++t) {
        const double rain = (excess[t - 1] / 12.0 / dt) * overland.bottom_width;
        double volume = sheet.advance(dt, 0.0, 0.0, rain, meter);
        double stored = sheet.storage();
        double flow = sheet.outflow();
        if (has_channel) {
            volume = stream.advance(dt, 0.0, 0.0, volume / (dt * channel.length), meter);
            stored += stream.storage();
            flow = stream.outflow();
        }
        result.volume[t - 1] = volume;
        result.outflow[t] = flow;
        result.storage[t] = stored;
    }
    return result;
}

}  // namespace rainmill
