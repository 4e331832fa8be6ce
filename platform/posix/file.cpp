#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace ondrel::platform {

namespace {
int AsFd(std::intptr_t h) { return static_cast<int>(h); }
}  // namespace

File File::Open(const std::string& name, Share, bool sequential) noexcept {
    int fd;
    do {
        fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return File();
    struct stat st{};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // a directory is no file to read
        close(fd);
        return File();
    }
    if (sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return File(fd);
}

void File::Close() noexcept {
    if (handle_ != kInvalid) {
        int saved = errno;
        close(AsFd(handle_));
        errno = saved;
        handle_ = kInvalid;
    }
}

bool File::Seek(std::int32_t start) noexcept {
    if (start < 0) return false;
    return lseek(AsFd(handle_), start, SEEK_SET) >= 0;
}

bool File::SeekTo(std::uint64_t position) noexcept {
    return lseek(AsFd(handle_), static_cast<off_t>(position), SEEK_SET) >= 0;
}

std::int64_t File::Read(void* buffer, std::uint32_t count) noexcept {
    ssize_t got;
    do {
        got = read(AsFd(handle_), buffer, count);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : got;
}

std::uint64_t File::Size() const noexcept {
    struct stat st{};
    if (fstat(AsFd(handle_), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t File::Position() const noexcept {
    off_t at = lseek(AsFd(handle_), 0, SEEK_CUR);
    return at < 0 ? 0 : static_cast<std::uint64_t>(at);
}

}  // namespace ondrel::platform
