// The series of one run in a single allocation. Many separate vectors of a
// long run are each handed back to the system when freed and page-faulted in
// again by the next call (a fault costs a microsecond or more on a virtual
// machine, several times the arithmetic of a step); one block is reused by
// the allocator across calls, and a large one is backed by huge pages where
// the system offers them.
#pragma once

#include <cstddef>
#include <vector>

namespace rainmill {

// `size` zeros, allocated as one block (huge pages asked for when large).
[[nodiscard]] std::vector<double> allocate_series_block(std::size_t size);

}  // namespace rainmill
