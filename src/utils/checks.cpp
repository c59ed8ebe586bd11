#include "utils/checks.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
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
    throw InvalidInput(message);
}

}  // namespace

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

namespace {

// Whether every value is finite and >= 0 (-0 included), read from the bits
// as integers: one pass without an early exit, which vectorises (the AVX2
// copy compares four at a time). A finite non-negative double is a
// non-negative integer below the bits of +infinity; -0 is the smallest one.
__attribute__((target_clones("avx2", "default"))) bool all_depths(const double* values,
                                                                  std::size_t count) {
    constexpr std::int64_t kInfinity = 0x7FF0000000000000;
    constexpr std::int64_t kNegativeZero = std::numeric_limits<std::int64_t>::min();
    std::int64_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t bits = 0;
        std::memcpy(&bits, values + i, sizeof bits);
        bad |=
            static_cast<std::int64_t>((bits >= kInfinity) | ((bits < 0) & (bits != kNegativeZero)));
    }
    return bad == 0;
}

}  // namespace

void require_depths(std::string_view name, const std::vector<double>& depths) {
    // The search for the first offending value only when there is one.
    if (all_depths(depths.data(), depths.size())) return;
    for (std::size_t i = 0; i < depths.size(); ++i) {
        if (!(std::isfinite(depths[i]) && depths[i] >= 0.0)) {
            throw InvalidInput(std::string(name) + "[" + std::to_string(i) +
                               "] must be finite and >= 0, got " + format_number(depths[i]));
        }
    }
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
    throw InvalidInput(message);
}

}  // namespace rainmill
