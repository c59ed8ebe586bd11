#include "rainfall_transform/user_uh.hpp"

#include <cmath>
#include <cstddef>

#include "rainfall_transform/unit_hydrograph.hpp"
#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/interrupt.hpp"

namespace rainmill {

std::vector<double> user_unit_hydrograph(const std::vector<double>& ordinates,
                                         double ordinate_hours, double area_acres,
                                         double step_hours) {
    require_depths("ordinates", ordinates);
    require_positive("duration", ordinate_hours);
    require_positive("area", area_acres);
    require_positive("step_hours", step_hours);
    if (ordinates.empty()) throw InvalidInput("ordinates must not be empty");
    const double last = static_cast<double>(ordinates.size() - 1);
    const double count = std::floor(last * ordinate_hours / step_hours) + 1.0;
    WorkMeter meter;
    std::vector<double> shape = zero_ordinates(count, meter);
    meter.in_pieces(0, shape.size(), 8, [&](std::size_t first, std::size_t end) {
        for (std::size_t k = first; k < end; ++k) {
            // Position in ordinate intervals, then the interval and the fraction into it.
            const double position = (static_cast<double>(k) * step_hours) / ordinate_hours;
            const double whole = std::floor(position);
            const auto index = static_cast<std::size_t>(whole);
            if (index + 1 >= ordinates.size()) {
                shape[k] = index < ordinates.size() && position == whole ? ordinates[index] : 0.0;
                continue;
            }
            const double y0 = ordinates[index];
            shape[k] = (position - whole) * (ordinates[index + 1] - y0) + y0;
        }
    });
    scale_to_unit_volume(shape, area_acres, step_hours * 3600.0);
    return shape;
}

}  // namespace rainmill
