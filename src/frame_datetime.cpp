#include "frame_datetime.hpp"

// clang-format off
#include <datetime.h>
// clang-format on

#include "frame_errors.hpp"
#include "frame_registry.hpp"
#include "utils/errors.hpp"

namespace rainmill::py {

namespace {

void ensure_datetime_api() {
    static OnceFlag once;
    if (!call_once(once, [] {
            PyDateTime_IMPORT;
            return PyDateTimeAPI != nullptr;
        })) {
        throw ErrorPending{};
    }
}

}  // namespace

bool is_timedelta(PyObject* object) {
    ensure_datetime_api();
    return PyDelta_Check(object);
}

Duration timedelta_to_duration(PyObject* timedelta) {
    ensure_datetime_api();
    const int days = PyDateTime_DELTA_GET_DAYS(timedelta);
    const int seconds = PyDateTime_DELTA_GET_SECONDS(timedelta);
    const int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(timedelta);
    if (days < 0) throw InvalidInput("Cannot convert a negative timedelta into a duration");
    Duration duration;
    duration.seconds =
        static_cast<std::uint64_t>(days) * 86400U + static_cast<std::uint64_t>(seconds);
    duration.nanoseconds = static_cast<std::uint32_t>(microseconds) * 1000U;
    return duration;
}

PyObject* new_timedelta(std::int64_t seconds) {
    ensure_datetime_api();
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    return check(PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(rest), 0));
}

}  // namespace rainmill::py
