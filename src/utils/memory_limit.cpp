#include "utils/memory_limit.hpp"

#include <algorithm>
#include <fstream>
#include <limits>
#include <string>

#if __has_include(<unistd.h>) && __has_include(<sys/resource.h>)
#include <sys/resource.h>
#include <unistd.h>
#define RAINMILL_HAS_POSIX_LIMITS 1
#endif

namespace rainmill {

namespace {

constexpr std::size_t kUnknown = std::numeric_limits<std::size_t>::max();

#ifdef RAINMILL_HAS_POSIX_LIMITS

std::size_t page_bytes() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

std::size_t pages_to_bytes(unsigned long long pages) {
    const std::size_t page = page_bytes();
    if (pages > kUnknown / page) return kUnknown;
    return static_cast<std::size_t>(pages) * page;
}

std::size_t physical_memory_bytes() {
#if defined(_SC_PHYS_PAGES)
    const long pages = sysconf(_SC_PHYS_PAGES);
    if (pages <= 0) return kUnknown;
    return pages_to_bytes(static_cast<unsigned long long>(pages));
#else
    return kUnknown;
#endif
}

// The address space this process has mapped now (Linux), or 0 when unknown.
std::size_t mapped_bytes() {
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    if (!(statm >> pages)) return 0;
    return pages_to_bytes(pages);
}

// What is left under RLIMIT_AS, which also counts reserved, untouched pages.
std::size_t address_space_left() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnknown;
    const auto cap = static_cast<unsigned long long>(limit.rlim_cur);
    const auto used = static_cast<unsigned long long>(mapped_bytes());
    if (used >= cap) return 0;
    const unsigned long long left = cap - used;
    return left > kUnknown ? kUnknown : static_cast<std::size_t>(left);
}

// The memory limit of the control group (cgroup v2 `memory.max`, else v1
// `memory.limit_in_bytes`), as containers set it.
std::size_t control_group_limit() {
    std::string path;
    {
        std::ifstream groups("/proc/self/cgroup");
        std::string line;
        while (std::getline(groups, line)) {
            if (line.rfind("0::", 0) == 0) {
                path = line.substr(3);
                break;
            }
        }
    }
    const std::string candidates[] = {
        "/sys/fs/cgroup" + path + "/memory.max",
        "/sys/fs/cgroup/memory.max",
        "/sys/fs/cgroup/memory/memory.limit_in_bytes",
    };
    for (const std::string& candidate : candidates) {
        std::ifstream file(candidate);
        std::string text;
        if (!(file >> text)) continue;
        if (text == "max") return kUnknown;
        try {
            const unsigned long long bytes = std::stoull(text);
            return bytes > kUnknown ? kUnknown : static_cast<std::size_t>(bytes);
        } catch (const std::exception&) {
            continue;
        }
    }
    return kUnknown;
}

#endif

}  // namespace

std::size_t allocatable_bytes_limit() {
#ifdef RAINMILL_HAS_POSIX_LIMITS
    return std::min({physical_memory_bytes(), address_space_left(), control_group_limit()});
#else
    return kUnknown;
#endif
}

}  // namespace rainmill
