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

constexpr Param kSeriesParams[] = {{.name = "data", .type = "Sequence[float]"},
                                   {.name = "time_step", .type = "timedelta"},
                                   {.name = "kind", .type = "str"}};
constexpr Signature kContinuousNew{.name = "__new__",
                                   .owner = "ContinuousTimeSeries",
                                   .params = kSeriesParams,
                                   .required = 3,
                                   .returns = "ContinuousTimeSeries",
                                   .doc_body = kContinuousBody,
                                   .kind = CallableKind::constructor};
constexpr Signature kIncrementalNew{.name = "__new__",
                                    .owner = "IncrementalTimeSeries",
                                    .params = kSeriesParams,
                                    .required = 3,
                                    .returns = "IncrementalTimeSeries",
                                    .doc_body = kIncrementalBody,
                                    .kind = CallableKind::constructor};

constexpr Signature kContinuousTotal{
    .name = "total_duration",
    .owner = "ContinuousTimeSeries",
    .returns = "int",
    .doc_body = "Total duration from first to last data point (seconds).",
    .kind = CallableKind::method};
constexpr Signature kIncrementalTotal{
    .name = "total_duration",
    .owner = "IncrementalTimeSeries",
    .returns = "int",
    .doc_body = "Total duration spanning all time step intervals (seconds).",
    .kind = CallableKind::method};

constexpr Param kDisaggregateParams[] = {{.name = "target_step", .type = "int"}};
constexpr Signature kDisaggregate{
    .name = "disaggregate",
    .owner = "IncrementalTimeSeries",
    .params = kDisaggregateParams,
    .required = 1,
    .returns = "IncrementalTimeSeries",
    .doc_body =
        "Disaggregates to a finer `target_step` (seconds) by uniformly\n"
        "distributing each bucket's value. Total depth is preserved.",
    .kind = CallableKind::method};

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
TimedeltaSeconds time_step_of(const Series& series) {
    return {series.time_step};
}

IncrementalTimeSeries disaggregate(const IncrementalTimeSeries& series, std::int32_t target_step) {
    // One unit per value written; the series is immutable, so reading it
    // detached is safe while the call's reference keeps it alive.
    const double copies =
        target_step > 0 ? static_cast<double>(series.time_step) / static_cast<double>(target_step)
                        : 0.0;
    const double work = static_cast<double>(series.data.size()) * copies;
    return run_computation(work, [&] { return series.disaggregate(target_step); });
}

template <class Series>
PyGetSetDef series_getset[] = {
    readonly<&Series::data>("data"),
    readonly<&Series::kind>("kind"),
    readonly<&time_step_of<Series>>("time_step"),
    {},
};

PyMethodDef continuous_methods[] = {
    noargs_def<&ContinuousTimeSeries::total_duration, kContinuousTotal>(),
    {},
};

PyMethodDef incremental_methods[] = {
    noargs_def<&IncrementalTimeSeries::total_duration, kIncrementalTotal>(),
    method_def<&disaggregate, kDisaggregate>(),
    {},
};

}  // namespace

}  // namespace rainmill::py

RAINMILL_DEFINE_CLASS(ContinuousTimeSeries,
                      with_buffer<&ContinuousTimeSeries::data>(class_spec<ContinuousTimeSeries>(
                          "ContinuousTimeSeries", docstring(kContinuousNew), true,
                          &constructor_entry<&construct<ContinuousTimeSeries>, kContinuousNew>,
                          series_getset<ContinuousTimeSeries>, continuous_methods)))

RAINMILL_DEFINE_CLASS(IncrementalTimeSeries,
                      with_buffer<&IncrementalTimeSeries::data>(class_spec<IncrementalTimeSeries>(
                          "IncrementalTimeSeries", docstring(kIncrementalNew), true,
                          &constructor_entry<&construct<IncrementalTimeSeries>, kIncrementalNew>,
                          series_getset<IncrementalTimeSeries>, incremental_methods)))
