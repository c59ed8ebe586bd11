// The series of one run in a single allocation. Many separate vectors of a
// long run are each handed back to the system when freed and page-faulted in
// again by the next call (a fault costs a microsecond or more on a virtual
// machine, several times the arithmetic of a step); one block is reused by
// the allocator across calls, and a large one is backed by huge pages where
// the system offers them.
#pragma once

#include <cstddef>
#include <vector>

#include "utils/interrupt.hpp"

namespace rainmill {

// `size` zeros, allocated as one block (huge pages asked for when large). The
// zeros are written in pieces counted on `meter`: a first touch can wait on
// the system (compacting memory for huge pages has taken half a second in a
// fresh process), and a stop request is seen between the pieces.
[[nodiscard]] std::vector<double> allocate_series_block(std::size_t size, WorkMeter& meter);

// Reserves room for `size` values in the empty `values`, asking for huge
// pages when the room is large (as NumPy does for its arrays). The advice
// takes where the pages are first touched: a call on 10^6 values in a fresh
// process faults a few 2 MiB pages instead of some 2,000 small ones (the
// first Muskingum call on a float64 array ran 5 ms instead of 15 ms). Pages
// the heap already holds stay as they are.
void reserve_series(std::vector<double>& values, std::size_t size);

}  // namespace rainmill
