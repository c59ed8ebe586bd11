// The datetime module's native interface, behind small helpers: this is the
// only part of the module that sees datetime.h (it defines a per-unit API
// pointer that must be imported exactly once).
#pragma once

#include <Python.h>

#include <cstdint>

#include "utils/duration.hpp"

namespace rainmill::py {

// Imports the datetime interface on first use; throws ErrorPending on failure.
bool is_timedelta(PyObject* object);

// The exact duration of a timedelta: days * 86400 + seconds whole seconds and
// microseconds * 1000 nanoseconds. A negative timedelta is InvalidInput.
Duration timedelta_to_duration(PyObject* timedelta);

// A new timedelta of `seconds` (normalised: days, then seconds below 86400).
PyObject* new_timedelta(std::int64_t seconds);

}  // namespace rainmill::py
