#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/prefault.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace ondrel::platform {

void PrefaultForWriting(void* begin, std::size_t bytes) noexcept {
    // Below a few pages a call costs more than the faults it spares.
    constexpr std::size_t kFrom = 64 * 1024;
    if (bytes < kFrom) return;
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(begin) + bytes) / page * page;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
}

void PreferHugePages(void* begin, std::size_t bytes) noexcept {
    const auto start = (reinterpret_cast<std::uintptr_t>(begin) + kHugePage - 1) / kHugePage * kHugePage;
    const auto end = (reinterpret_cast<std::uintptr_t>(begin) + bytes) / kHugePage * kHugePage;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace ondrel::platform
