#include "platform/prefault.h"

namespace ondrel::platform {

// Windows commits pages on first touch, and no call spares it here.
void PrefaultForWriting(void*, std::size_t) noexcept {}

// Large pages need a privilege that a command does not hold.
void PreferHugePages(void*, std::size_t) noexcept {}

}  // namespace ondrel::platform
