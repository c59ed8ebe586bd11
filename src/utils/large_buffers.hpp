// Large temporaries that keep their pages from one call to the next.
#pragma once

namespace rainmill {

// Tells the C library to serve blocks of up to kLargeBlockBytes from its heap
// and to keep up to kKeptFreeBytes of freed heap, instead of mapping every
// block of a few megabytes afresh and unmapping it when freed: a call on 10^6
// values then reuses the pages of the call before it rather than paying a page
// fault for each of their 4 KiB pages again (several times the computation's
// own cost). Done once per process; left alone when the environment tunes the
// allocator itself (MALLOC_MMAP_THRESHOLD_, MALLOC_TRIM_THRESHOLD_,
// MALLOC_TOP_PAD_ or glibc.malloc tunables) and where the C library is not
// glibc. Never throws.
void keep_large_buffer_pages() noexcept;

// The same, whatever the environment says (a Dask worker's nanny sets
// MALLOC_TRIM_THRESHOLD_ for every worker, and the heap then gives back and
// faults in again the pages of every block of a few hundred kilobytes: an
// evaluation of a model ran 4 to 5 times slower). False where the C library is
// not glibc, true once done. Never throws.
bool keep_large_buffer_pages_over_environment() noexcept;

// The block size served from the heap and the free heap kept (bytes).
inline constexpr int kLargeBlockBytes = 64 << 20;
inline constexpr int kKeptFreeBytes = 256 << 20;

}  // namespace rainmill
