#include "utils/numfmt.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace rainmill {

namespace {

std::string format_special(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string format_number(double value) {
    if (!std::isfinite(value)) return format_special(value);
    // The shortest round-trip digits come from the scientific form; fixed
    // notation alone would print every exact digit of a large double
    // (1e23 as 99999999999999991611392) instead of the shortest ones.
    char buffer[32];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (result.ec != std::errc()) return "NaN";  // unreachable with this buffer size
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string_view mantissa = text.substr(0, e);
    int exponent = 0;
    const std::string_view exponent_text = text.substr(e + 1);
    std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                    exponent_text.data() + exponent_text.size(), exponent);

    std::string out;
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits += c;
    }
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

std::string format_fixed4(double value) {
    if (!std::isfinite(value)) return format_special(value);
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    if (result.ec != std::errc()) return "NaN";
    return std::string(buffer, result.ptr);
}

std::string format_integer(std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace rainmill
