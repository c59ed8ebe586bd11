// What every outlet offers the level-pool routing, and the pieces the outlets
// share: the elevation gate, the release cap and the above-curve refusal.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>

#include "utils/errors.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

// An outlet: discharge at a reservoir elevation, `duration_secs` whole
// seconds after the start of the routing (absent when the caller has no
// simulation clock). Failures are thrown (InvalidInput, InvalidCall).
template <class T>
concept DischargeSource =
    requires(const T& outlet, double elevation, std::optional<std::int64_t> duration_secs) {
        { outlet.get_discharge(elevation, duration_secs) } -> std::same_as<double>;
    };

namespace outlet_detail {

// The gate is shut below a present minimum or above a present maximum; an
// elevation equal to a bound still releases, and NaN never shuts it.
inline bool gate_shut(double elevation, const std::optional<double>& minimum_elevation,
                      const std::optional<double>& maximum_elevation) noexcept {
    return (minimum_elevation && elevation < *minimum_elevation) ||
           (maximum_elevation && elevation > *maximum_elevation);
}

// The smaller of a release and its cap, an absent cap counting as +inf. A NaN
// on one side yields the other side.
inline double cap_release(double release, const std::optional<double>& maximum_release) noexcept {
    const double cap = maximum_release.value_or(std::numeric_limits<double>::infinity());
    if (std::isnan(release)) return cap;
    if (std::isnan(cap)) return release;
    return cap < release ? cap : release;
}

[[noreturn]] inline void throw_above_curve(double elevation, double last_elevation) {
    throw InvalidInput("elevation " + format_number(elevation) +
                       " is above the maximum of the elevation-discharge curve (" +
                       format_number(last_elevation) + ").");
}

}  // namespace outlet_detail

}  // namespace rainmill
