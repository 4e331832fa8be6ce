#include "platform/prefault.h"

namespace ondrel::platform {

// Windows commits pages on first touch, and no call spares it here.
void PrefaultForWriting(void*, std::size_t) noexcept {}

// Large pages need a privilege that a command does not hold: bulk memory
// comes from the usual heap.
bool InHugePages(std::size_t) noexcept { return false; }

void* AllocateBulk(std::size_t bytes, BulkRounding) { return ::operator new(bytes); }

void FreeBulk(void* p, std::size_t) noexcept { ::operator delete(p); }

}  // namespace ondrel::platform
