#include "utils/time_series.hpp"

#include <cmath>
#include <cstddef>

#include "utils/errors.hpp"
#include "utils/interrupt.hpp"
#include "utils/numfmt.hpp"

namespace rainmill {

void validate_kind(std::string_view kind) {
    for (std::string_view known : kSeriesKinds) {
        if (kind == known) return;
    }
    std::string message = "kind must be one of [";
    bool first = true;
    for (std::string_view known : kSeriesKinds) {
        if (!first) message += ", ";
        first = false;
        message += '"';
        message += known;
        message += '"';
    }
    message += "]; got '";
    message += kind;
    message += "'";
    throw InvalidInput(message);
}

void validate_time_step(std::int32_t time_step) {
    if (time_step < 1) throw InvalidInput("time_step must be > 0");
}

std::int64_t ContinuousTimeSeries::total_duration() const {
    if (data.empty()) return 0;
    return static_cast<std::int64_t>(time_step) * static_cast<std::int64_t>(data.size() - 1);
}

double ContinuousTimeSeries::get_value(double duration) const {
    constexpr double tolerance = 0.000001;
    if (duration < -tolerance) {
        throw InvalidInput("`duration` " + format_number(duration) + " is less than 0.");
    }
    if (data.empty()) {
        throw InvalidInput("cannot read a value from a time series without data points.");
    }
    const std::size_t n = data.size();
    const double max = static_cast<double>(total_duration());
    if (duration > max + tolerance) {
        throw InvalidInput("`duration` " + format_number(duration) + " is out of range (max " +
                           format_integer(total_duration()) + ").");
    }
    double clamped = duration;
    if (clamped < 0.0) clamped = 0.0;
    if (clamped > max) clamped = max;
    const double pos = clamped / static_cast<double>(time_step);
    const double floor_pos = std::floor(pos);
    // A NaN or negative position counts as index 0; floor_pos <= n - 1 here.
    const std::size_t i = floor_pos > 0.0 ? static_cast<std::size_t>(floor_pos) : 0;
    if (i < n - 1) {
        return (data[i + 1] - data[i]) * (pos - static_cast<double>(i)) + data[i];
    }
    return data[n - 1];
}

std::int64_t IncrementalTimeSeries::total_duration() const {
    return static_cast<std::int64_t>(time_step) * static_cast<std::int64_t>(data.size());
}

IncrementalTimeSeries IncrementalTimeSeries::disaggregate(std::int32_t target_step) const {
    if (target_step < 30) throw InvalidInput("target_step must be >= 30 seconds.");
    if (time_step % target_step != 0) {
        throw InvalidInput("Original time_step (" + format_integer(time_step) +
                           ") must be a multiple of target_step (" + format_integer(target_step) +
                           ").");
    }
    const auto copies = static_cast<std::size_t>(time_step / target_step);
    // Scaling by t / T (not dividing by the number of copies) fixes the last bits.
    const double factor = static_cast<double>(target_step) / static_cast<double>(time_step);
    IncrementalTimeSeries result;
    result.kind = kind;
    result.time_step = target_step;
    result.data.reserve(data.size() * copies);
    WorkMeter meter;
    meter.in_pieces(0, data.size(), static_cast<std::int64_t>(copies),
                    [&](std::size_t first, std::size_t last) {
                        for (std::size_t i = first; i < last; ++i) {
                            const double share = data[i] * factor;
                            result.data.insert(result.data.end(), copies, share);
                        }
                    });
    return result;
}

}  // namespace rainmill
