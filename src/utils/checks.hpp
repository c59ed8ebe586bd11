// Checks of caller-given values that several computations share; each throws
// InvalidInput whose message starts with the value's name.
#pragma once

#include <string_view>
#include <vector>

namespace rainmill {

// Throws InvalidInput naming `name` unless 0 <= value <= 1.
void require_fraction(std::string_view name, double value);
// Throws InvalidInput naming `name` unless value is finite and >= 0.
void require_non_negative(std::string_view name, double value);
// Throws InvalidInput naming `name` unless value is finite and > 0.
void require_positive(std::string_view name, double value);
// Throws InvalidInput unless every value of `depths` is finite and >= 0.
void require_depths(std::string_view name, const std::vector<double>& depths);

}  // namespace rainmill
