#include "baseflow/constant_monthly.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "utils/checks.hpp"
#include "utils/errors.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

std::vector<double> constant_monthly_baseflow(const std::vector<double>& months,
                                              const std::vector<double>& monthly) {
    if (monthly.size() != 12) {
        throw InvalidInput("monthly must have 12 values, got " + std::to_string(monthly.size()));
    }
    require_depths("monthly", monthly);
    std::vector<double> baseflow(months.size());
    for (std::size_t i = 0; i < months.size(); ++i) {
        const double month = months[i];
        if (!(1.0 <= month && month <= 12.0 && month == std::floor(month))) {
            throw InvalidInput("months[" + std::to_string(i) + "] must be a month 1 to 12, got " +
                               format_number(month));
        }
        baseflow[i] = monthly[static_cast<std::size_t>(month) - 1];
    }
    return baseflow;
}

}  // namespace rainmill
