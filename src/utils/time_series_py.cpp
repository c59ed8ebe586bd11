// Python classes ContinuousTimeSeries and IncrementalTimeSeries.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "frame.hpp"
#include "frame_detach.hpp"
#include "utils/time_series.hpp"

namespace rainmill::py {

namespace {

constexpr const char* kContinuousBody =
    "A uniformly-spaced time series where each value represents a quantity at a\n"
    "discrete point in time (e.g. discharge, elevation, storage).\n\n"
    "Total duration spans first to last point: `time_step * (len(data) - 1)`.\n"
    "Supports linear interpolation between points.";

constexpr const char* kIncrementalBody =
    "A uniformly-spaced time series where each value represents a quantity\n"
    "accumulated over one time step interval (e.g. rainfall depth, volume added).\n\n"
    "Total duration spans all intervals: `time_step * len(data)`.\n"
    "Supports disaggregation to a finer time step.";

constexpr Param kSeriesParams[] = {{"data"}, {"time_step"}, {"kind"}};
constexpr Signature kContinuousNew{"__new__", "ContinuousTimeSeries", kSeriesParams, 3,
                                   kContinuousBody, CallableKind::constructor};
constexpr Signature kIncrementalNew{"__new__", "IncrementalTimeSeries", kSeriesParams, 3,
                                    kIncrementalBody, CallableKind::constructor};

constexpr Signature kContinuousTotal{"total_duration", "ContinuousTimeSeries", {}, 0,
                                     "Total duration from first to last data point (seconds).",
                                     CallableKind::method};
constexpr Signature kIncrementalTotal{"total_duration", "IncrementalTimeSeries", {}, 0,
                                      "Total duration spanning all time step intervals (seconds).",
                                      CallableKind::method};

constexpr Param kDisaggregateParams[] = {{"target_step"}};
constexpr Signature kDisaggregate{
    "disaggregate", "IncrementalTimeSeries", kDisaggregateParams, 1,
    "Disaggregates to a finer `target_step` (seconds) by uniformly\n"
    "distributing each bucket's value. Total depth is preserved.",
    CallableKind::method};

// The kind is checked before the time step is read, so a bad kind is reported
// ahead of a negative or sub-second time step.
template <class Series>
Series construct(std::vector<double> data, TimedeltaArg time_step, std::string kind) {
    validate_kind(kind);
    const std::int32_t seconds = time_step.to_duration().whole_seconds_saturated();
    validate_time_step(seconds);
    return Series{std::move(data), std::move(kind), seconds};
}

template <class Series>
const std::vector<double>& data_of(const Series& series) {
    return series.data;
}

template <class Series>
const std::string& kind_of(const Series& series) {
    return series.kind;
}

template <class Series>
TimedeltaSeconds time_step_of(const Series& series) {
    return {series.time_step};
}

template <class Series>
std::int64_t total_duration(const Series& series) {
    return series.total_duration();
}

IncrementalTimeSeries disaggregate(const IncrementalTimeSeries& series, std::int32_t target_step) {
    // One unit per value written; the series is immutable, so reading it
    // detached is safe while the call's reference keeps it alive.
    const double copies =
        target_step > 0 ? static_cast<double>(series.time_step) / static_cast<double>(target_step) : 0.0;
    const double work = static_cast<double>(series.data.size()) * copies;
    return run_computation(work, [&] { return series.disaggregate(target_step); });
}

template <class Series>
PyGetSetDef series_getset[] = {
    readonly<&data_of<Series>>("data"),
    readonly<&kind_of<Series>>("kind"),
    readonly<&time_step_of<Series>>("time_step"),
    {},
};

PyMethodDef continuous_methods[] = {
    noargs_def<&total_duration<ContinuousTimeSeries>, kContinuousTotal>(),
    {},
};

PyMethodDef incremental_methods[] = {
    noargs_def<&total_duration<IncrementalTimeSeries>, kIncrementalTotal>(),
    method_def<&disaggregate, kDisaggregate>(),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ContinuousTimeSeries,
                      class_spec<ContinuousTimeSeries>(
                          "ContinuousTimeSeries", docstring(kContinuousNew), true,
                          &constructor_entry<&construct<ContinuousTimeSeries>, kContinuousNew>,
                          series_getset<ContinuousTimeSeries>, continuous_methods))

RAINMILL_DEFINE_CLASS(IncrementalTimeSeries,
                      class_spec<IncrementalTimeSeries>(
                          "IncrementalTimeSeries", docstring(kIncrementalNew), true,
                          &constructor_entry<&construct<IncrementalTimeSeries>, kIncrementalNew>,
                          series_getset<IncrementalTimeSeries>, incremental_methods))
