#include "utils/numfmt.hpp"

#include <charconv>
#include <cmath>
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
    // 1.7976931348623157e308 in positional form needs 309 digits plus sign.
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc()) return "NaN";  // unreachable with this buffer size
    return std::string(buffer, result.ptr);
}

std::string format_fixed4(double value) {
    if (!std::isfinite(value)) return format_special(value);
    char buffer[400];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    if (result.ec != std::errc()) return "NaN";
    return std::string(buffer, result.ptr);
}

std::string format_integer(std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace rainmill
