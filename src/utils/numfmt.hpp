// Numbers inside messages.
#pragma once

#include <cstdint>
#include <string>

namespace rainmill {

// Shortest decimal form that reads back as the same double, positional (no
// exponent), no ".0" on whole values; "NaN", "inf", "-inf".
std::string format_number(double value);

// Fixed notation with exactly four decimals, correctly rounded (ties to even).
std::string format_fixed4(double value);

std::string format_integer(std::int64_t value);

}  // namespace rainmill
