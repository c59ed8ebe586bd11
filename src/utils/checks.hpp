// Checks of caller-given values that several computations share; each throws
// InvalidInput whose message starts with the value's name.
#pragma once

#include <cstddef>
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
// Throws InvalidInput naming `name` unless value is finite.
void require_finite(std::string_view name, double value);
// Throws InvalidInput naming `name` unless value is finite and within [low, high].
void require_between(std::string_view name, double value, double low, double high);
// Throws InvalidInput naming the first value of `values` that is not finite.
void require_finite_series(std::string_view name, const std::vector<double>& values);
// Throws InvalidInput unless `values` has as many entries as `reference` (named
// `reference_name`) has.
void require_same_length(std::string_view name, const std::vector<double>& values,
                         std::string_view reference_name, std::size_t reference_size);

}  // namespace rainmill
