#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/posix/descriptor.h"

namespace ondrel::platform {

namespace {
int AsFd(std::intptr_t h) { return static_cast<int>(h); }
constexpr off_t kSequentialHintFrom = 256 * 1024;
}  // namespace

void FileTraits::Release(Value handle) noexcept { DescriptorTraits::Release(AsFd(handle)); }

File File::Open(const std::string& name, Share, bool sequential) noexcept {
    // O_NONBLOCK: a FIFO without a writer, or a device, must not hold the
    // open; whatever opened is then refused unless it is a regular file.
    int opened;
    do {
        opened = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (opened < 0 && errno == EINTR);
    File file(opened);
    if (!file) return file;
    const int fd = opened;
    struct stat st{};
    // Of the status flags F_SETFL changes, the open set only O_NONBLOCK:
    // setting none clears it.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) return File();
    // The hint pays only where more than one read follows.
    if (sequential && st.st_size > kSequentialHintFrom) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return File(file.handle_.Release(), static_cast<std::uint64_t>(st.st_size));
}

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return -1;
    ssize_t got;
    do {
        got = pread(AsFd(handle_.Get()), buffer, count, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : got;
}

std::uint64_t File::Size() const noexcept {
    struct stat st{};
    if (fstat(AsFd(handle_.Get()), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace ondrel::platform
