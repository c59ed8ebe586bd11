// The buffer protocol at the boundary: float vectors read straight from the
// memory of NumPy arrays, array.array objects and memoryviews, and the series
// classes' values exported as read-only views.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace rainmill::py {

// Items converted between two checks for a pending signal (Ctrl-C): a few
// milliseconds of the slowest per-item conversion.
inline constexpr std::size_t kItemsPerSignalCheck = std::size_t{1} << 16;

// Runs the interpreter's signal handlers; throws ErrorPending when one raised.
void check_signals();

// Fills `values` from the object's one-dimensional numeric buffer and returns
// true when the object is exactly a NumPy array, an array.array or a
// memoryview whose buffer the generic path would read to the same values
// (native byte order, a float, integer or boolean format). Returns false,
// with nothing pending and `values` untouched, for every other object, which
// then takes the generic path so that its results and errors stay the same.
bool read_numeric_buffer(PyObject* object, std::vector<double>& values);

// A read-only, one-dimensional, C-contiguous buffer of doubles (format "d")
// owned by `exporter`, which the view keeps alive. For bf_getbuffer.
int export_doubles(PyObject* exporter, const std::vector<double>& values, Py_buffer* view,
                   int flags) noexcept;
// The matching bf_releasebuffer.
void release_doubles(PyObject* exporter, Py_buffer* view) noexcept;

}  // namespace rainmill::py
