// Checks of a computation's arguments, made once before its loop runs, with
// the messages the caller sees ("soil_max must be positive, got -1.").
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace rainmill {

// Finite and >= 0.
void require_nonnegative(std::string_view name, double value);
// Finite and > 0.
void require_positive(std::string_view name, double value);
// Finite and within [low, high].
void require_between(std::string_view name, double value, double low, double high);
// Finite (any sign).
void require_finite(std::string_view name, double value);
// Every value finite and >= 0; the message names the first bad index.
void require_nonnegative_series(std::string_view name, const std::vector<double>& values);
// Every value finite; the message names the first bad index.
void require_finite_series(std::string_view name, const std::vector<double>& values);
// `values` has as many entries as `reference` (named `reference_name`).
void require_same_length(std::string_view name, const std::vector<double>& values,
                         std::string_view reference_name, std::size_t reference_size);

}  // namespace rainmill
