#include "rainfall_transform/scs_uh.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <string>

#include "rainfall_transform/unit_hydrograph.hpp"
#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

// NEH 630 chapter 16, table 16-1: t/Tp and q/qp of the dimensionless unit
// hydrograph; the peak is knot kPeak.
constexpr std::size_t kKnots = 33;
constexpr std::size_t kPeak = 10;
constexpr std::array<double, kKnots> kTime = {
    0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1, 1.2, 1.3, 1.4, 1.5, 1.6,
    1.7, 1.8, 1.9, 2.0, 2.2, 2.4, 2.6, 2.8, 3.0, 3.2, 3.4, 3.6, 3.8, 4.0, 4.5, 5.0};
constexpr std::array<double, kKnots> kFlow = {
    0.0,   0.030, 0.100, 0.190, 0.310, 0.470, 0.660, 0.820, 0.930, 0.990, 1.000,
    0.990, 0.930, 0.860, 0.780, 0.680, 0.560, 0.460, 0.390, 0.330, 0.280, 0.207,
    0.147, 0.107, 0.077, 0.055, 0.040, 0.029, 0.021, 0.015, 0.011, 0.005, 0.000};

constexpr double kStandardPeakRateFactor = 484.0;

// Trapezoid areas of the table's knots [first, last], in order.
double table_area(std::size_t first, std::size_t last) {
    double area = 0.0;
    for (std::size_t i = first; i < last; ++i) {
        area += (kTime[i + 1] - kTime[i]) * (0.5 * (kFlow[i] + kFlow[i + 1]));
    }
    return area;
}

// q/qp at dimensionless time s of the unstretched table (0 beyond its end),
// with the cursor moving forward only (s only grows).
double table_flow(double s, std::size_t& cursor) {
    while (cursor + 1 < kKnots && kTime[cursor + 1] <= s) ++cursor;
    if (cursor + 1 >= kKnots) return 0.0;
    const double x0 = kTime[cursor];
    const double y0 = kFlow[cursor];
    return ((s - x0) / (kTime[cursor + 1] - x0)) * (kFlow[cursor + 1] - y0) + y0;
}

}  // namespace

std::vector<double> scs_unit_hydrograph(double lag_hours, double peak_rate_factor,
                                        double area_acres, double step_hours) {
    require_non_negative("lag", lag_hours);
    require_positive("peak_rate_factor", peak_rate_factor);
    require_positive("area", area_acres);
    require_positive("step_hours", step_hours);
    const double rising = table_area(0, kPeak);
    const double recession = table_area(kPeak, kKnots - 1);
    const double stretch =
        (table_area(0, kKnots - 1) * (kStandardPeakRateFactor / peak_rate_factor) - rising) /
        recession;
    if (!(stretch > 0.0)) {
        throw InvalidInput("peak_rate_factor " + format_number(peak_rate_factor) +
                           " leaves the unit hydrograph no recession: it must be below " +
                           format_number(std::floor(kStandardPeakRateFactor *
                                                    table_area(0, kKnots - 1) / rising)));
    }
    const double time_to_peak = 0.5 * step_hours + lag_hours;
    // The last ordinate inside the stretched base, 1 + stretch * (5 - 1) times Tp.
    const double base = time_to_peak * (1.0 + stretch * (kTime[kKnots - 1] - 1.0));
    const double count = std::floor(base / step_hours) + 1.0;
    WorkMeter meter;
    std::vector<double> shape = zero_ordinates(count, meter);
    std::size_t cursor = 0;
    meter.in_pieces(0, shape.size(), 8, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            const double s = (static_cast<double>(k) * step_hours) / time_to_peak;
            // The recession limb is read at its unstretched time 1 + (s - 1) / stretch.
            shape[k] = table_flow(s <= 1.0 ? s : 1.0 + (s - 1.0) / stretch, cursor);
        }
    });
    scale_to_unit_volume(shape, area_acres, step_hours * 3600.0);
    return shape;
}

double snyder_peak_rate_factor(double tp_hours, double cp, double step_hours) {
    const double adjusted_lag = tp_hours + (step_hours - tp_hours / 5.5) / 4.0;
    return 640.0 * cp * (0.5 * step_hours + adjusted_lag) / adjusted_lag;
}

std::vector<double> snyder_unit_hydrograph(double tp_hours, double cp, double area_acres,
                                           double step_hours) {
    require_positive("tp", tp_hours);
    if (!(0.0 < cp && cp <= 1.0)) {
        throw InvalidInput("cp must lie in (0, 1], got " + format_number(cp));
    }
    require_positive("step_hours", step_hours);
    // tp (1 - 1 / 22) + tR / 4: positive whenever tp and the step are.
    const double adjusted_lag = tp_hours + (step_hours - tp_hours / 5.5) / 4.0;
    return scs_unit_hydrograph(adjusted_lag, snyder_peak_rate_factor(tp_hours, cp, step_hours),
                               area_acres, step_hours);
}

}  // namespace rainmill
