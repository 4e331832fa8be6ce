#include "platform/pe/file_source.h"

namespace ondrel::pe {

bool FileSource::ReadAt(std::uint64_t offset, void* out, std::size_t count) noexcept {
    if (offset > size_ || count > size_ - offset) return false;
    return file_.ReadAt(offset, out, count);
}

}  // namespace ondrel::pe
