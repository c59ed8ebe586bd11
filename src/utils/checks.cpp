#include "utils/checks.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "utils/errors.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

void require_fraction(std::string_view name, double value) {
    if (!(0.0 <= value && value <= 1.0)) {
        throw InvalidInput(std::string(name) + " must lie in [0, 1], got " + format_number(value));
    }
}

void require_non_negative(std::string_view name, double value) {
    if (!(std::isfinite(value) && value >= 0.0)) {
        throw InvalidInput(std::string(name) + " must be finite and >= 0, got " +
                           format_number(value));
    }
}

void require_positive(std::string_view name, double value) {
    if (!(std::isfinite(value) && value > 0.0)) {
        throw InvalidInput(std::string(name) + " must be finite and > 0, got " +
                           format_number(value));
    }
}

void require_depths(std::string_view name, const std::vector<double>& depths) {
    // One pass without an early exit (it vectorises); the search for the
    // first offending value only when there is one. NaN fails both tests.
    bool valid = true;
    for (const double value : depths) {
        valid &= (value >= 0.0) & (value <= std::numeric_limits<double>::max());
    }
    if (valid) return;
    for (std::size_t i = 0; i < depths.size(); ++i) {
        if (!(std::isfinite(depths[i]) && depths[i] >= 0.0)) {
            throw InvalidInput(std::string(name) + "[" + std::to_string(i) +
                               "] must be finite and >= 0, got " + format_number(depths[i]));
        }
    }
}

}  // namespace rainmill
