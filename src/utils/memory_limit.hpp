// How much memory one more allocation could still get, as far as the platform
// tells: the address space left under the process's limit, the physical
// memory, and the memory limit of the process's control group.
#pragma once

#include <cstddef>

namespace rainmill {

// The smallest of the limits the platform reports, in bytes; the largest
// size_t when none is known. A request above it cannot succeed, so a long
// computation can refuse it before it allocates and fills anything.
[[nodiscard]] std::size_t allocatable_bytes_limit();

}  // namespace rainmill
