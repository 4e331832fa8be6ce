// Files opened and their first bytes read one at a time: the way of
// Windows, and of Linux where io_uring cannot be had.
#include "platform/open_many.h"

#include <algorithm>

namespace ondrel::platform {

void ManyFiles::OpenOne(const OpenRequest& request, OpenedFile& result) {
    result = OpenedFile();
    Result<FileReader, OpenFailure> reader = FileReader::OpenLookedUp(*request.name, request.share);
    if (!reader) {
        result.failure = reader.failure();
        return;
    }
    result.opened = true;
    result.identity = reader->file().IdentityAtOpen();
    const std::uint64_t first = std::min<std::uint64_t>(reader->Size(), request.capacity);
    try {
        if (reader->ReadAt(0, request.buffer, static_cast<std::size_t>(first)))
            result.firstRead = static_cast<std::uint32_t>(first);
    } catch (const ResourcesExhausted&) {
        result.firstRead = ReadFailure::Exhausted;
    }
    if (reader->Size() > request.capacity && result.firstRead) result.rest = std::move(*reader);
}

}  // namespace ondrel::platform
