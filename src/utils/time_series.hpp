// The two uniform time-series values: point samples (continuous) and
// per-interval amounts (incremental).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rainmill {

// The series kinds, in the order the kind check lists them.
inline constexpr std::string_view kSeriesKinds[] = {"discharge", "rainfall", "elevation", "volume"};

// Throws InvalidInput unless `kind` is one of kSeriesKinds.
void validate_kind(std::string_view kind);

// Throws InvalidInput unless the whole-second step is at least one second.
void validate_time_step(std::int32_t time_step);

struct ContinuousTimeSeries {
    std::vector<double> data;
    std::string kind;
    std::int32_t time_step = 1;  // whole seconds between points

    // Span from the first to the last point, in seconds; 0 for an empty series.
    [[nodiscard]] std::int64_t total_duration() const;

    // Value at `duration` seconds after the first point, linearly interpolated
    // between points; InvalidInput outside the series (1e-6 s tolerance) and on
    // an empty series.
    [[nodiscard]] double get_value(double duration) const;

    // The interpolation of get_value for a `duration` already known to lie
    // in [0, total_duration()] on a series with data: no checks.
    [[nodiscard]] double value_within(double duration) const noexcept {
        const double pos = duration / static_cast<double>(time_step);
        // Truncation is the floor here (pos >= 0); NaN counts as index 0.
        const std::size_t i = pos > 0.0 ? static_cast<std::size_t>(pos) : 0;
        const std::size_t last = data.size() - 1;
        if (i < last) return (data[i + 1] - data[i]) * (pos - static_cast<double>(i)) + data[i];
        return data[last];
    }
};

struct IncrementalTimeSeries {
    std::vector<double> data;
    std::string kind;
    std::int32_t time_step = 1;  // whole seconds per interval

    // Span of all intervals, in seconds.
    [[nodiscard]] std::int64_t total_duration() const;

    // The same amounts spread evenly over a finer step of `target_step`
    // seconds; each value is scaled by target_step / time_step.
    [[nodiscard]] IncrementalTimeSeries disaggregate(std::int32_t target_step) const;
};

}  // namespace rainmill
