#include "platform/pe/file_source.h"

#include <algorithm>

namespace ondrel::pe {

bool FileSource::ReadAt(std::uint64_t offset, void* out, std::size_t count) noexcept {
    if (offset > size_ || count > size_ - offset) return false;
    if (!file_.SeekTo(offset)) return false;
    auto* p = static_cast<unsigned char*>(out);
    while (count > 0) {
        std::uint32_t want = static_cast<std::uint32_t>(std::min<std::size_t>(count, 1u << 20));
        std::int64_t got = file_.Read(p, want);
        if (got <= 0) return false;
        p += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace ondrel::pe
