#include "utils/series_block.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace rainmill {

void reserve_series(std::vector<double>& values, std::size_t size) {
    values.reserve(size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // The 2 MiB-aligned interior of the block, before its values are written.
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    const auto first = reinterpret_cast<std::uintptr_t>(values.data());
    const std::uintptr_t last = first + size * sizeof(double);
    const std::uintptr_t begin = (first + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = last & ~(kHuge - 1);
    if (end > begin) {
        // Advice only: a refusal leaves ordinary pages.
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
}

std::vector<double> allocate_series_block(std::size_t size, WorkMeter& meter) {
    std::vector<double> block;
    reserve_series(block, size);
    // About 4 ns a value on small pages (fault included), well under one on
    // huge pages that are at hand: a check every few MiB.
    constexpr std::int64_t kUnitsPerZero = 4;
    meter.in_pieces(0, size, kUnitsPerZero,
                    [&block](std::size_t, std::size_t last) { block.resize(last); });
    return block;
}

}  // namespace rainmill
