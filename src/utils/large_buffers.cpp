#include "utils/large_buffers.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace rainmill {

namespace {

bool allocator_tuned_by_environment() {
    for (const char* name :
         {"MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_", "MALLOC_TOP_PAD_"}) {
        if (std::getenv(name) != nullptr) return true;
    }
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    return tunables != nullptr && std::strstr(tunables, "glibc.malloc.") != nullptr;
}

#if defined(__GLIBC__)
void serve_large_blocks_from_the_heap() noexcept {
    // A fixed threshold also ends glibc's own adjustment, which raises it to
    // a freed block's size but trims the heap at twice that, so that every
    // call of a few megabytes gave its pages back.
    mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
    mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
}
#endif

}  // namespace

void keep_large_buffer_pages() noexcept {
#if defined(__GLIBC__)
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            if (!allocator_tuned_by_environment()) serve_large_blocks_from_the_heap();
        });
    } catch (...) {  // std::system_error from call_once: the defaults stay
    }
#endif
}

bool keep_large_buffer_pages_over_environment() noexcept {
#if defined(__GLIBC__)
    serve_large_blocks_from_the_heap();
    return true;
#else
    return false;
#endif
}

}  // namespace rainmill
