#include "utils/input_checks.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "utils/errors.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

namespace {

[[noreturn]] void refuse(std::string_view name, std::string_view must, double value) {
    std::string message(name);
    message += " must be ";
    message += must;
    message += ", got ";
    message += format_number(value);
    message += '.';
    throw InvalidInput(message);
}

[[noreturn]] void refuse_entry(std::string_view name, std::size_t index, std::string_view must,
                               double value) {
    std::string message(name);
    message += '[';
    message += format_integer(static_cast<std::int64_t>(index));
    message += "] must be ";
    message += must;
    message += ", got ";
    message += format_number(value);
    message += '.';
    throw InvalidInput(message);
}

}  // namespace

void require_nonnegative(std::string_view name, double value) {
    if (!(std::isfinite(value) && value >= 0.0)) refuse(name, "finite and >= 0", value);
}

void require_positive(std::string_view name, double value) {
    if (!(std::isfinite(value) && value > 0.0)) refuse(name, "finite and > 0", value);
}

void require_finite(std::string_view name, double value) {
    if (!std::isfinite(value)) refuse(name, "finite", value);
}

void require_between(std::string_view name, double value, double low, double high) {
    if (!(std::isfinite(value) && value >= low && value <= high)) {
        std::string must = "between ";
        must += format_number(low);
        must += " and ";
        must += format_number(high);
        refuse(name, must, value);
    }
}

void require_nonnegative_series(std::string_view name, const std::vector<double>& values) {
    // A scan without early exit (vectorised), then the search for the first bad value.
    bool all_good = true;
    for (const double v : values) {
        all_good &= (v >= 0.0) & (v <= std::numeric_limits<double>::max());
    }
    if (all_good) return;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(std::isfinite(values[i]) && values[i] >= 0.0)) {
            refuse_entry(name, i, "finite and >= 0", values[i]);
        }
    }
}

void require_finite_series(std::string_view name, const std::vector<double>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) refuse_entry(name, i, "finite", values[i]);
    }
}

void require_same_length(std::string_view name, const std::vector<double>& values,
                         std::string_view reference_name, std::size_t reference_size) {
    if (values.size() == reference_size) return;
    std::string message(name);
    message += " has ";
    message += format_integer(static_cast<std::int64_t>(values.size()));
    message += " values, ";
    message += reference_name;
    message += " has ";
    message += format_integer(static_cast<std::int64_t>(reference_size));
    message += '.';
    throw InvalidInput(message);
}

}  // namespace rainmill
