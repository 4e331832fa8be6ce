#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/file.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/stat_identity.h"

namespace ondrel::platform {

namespace {

int AsFd(std::intptr_t h) { return static_cast<int>(h); }

int OpenRetrying(const char* name, int flags) {
    int fd;
    do {
        fd = open(name, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The regular file behind a path descriptor, opened for reading, and
// whether it is surely that file. The magic link in /proc leads to exactly
// that file; without /proc the name is opened again and must be checked to
// still lead to it. O_NONBLOCK: a lease held by another process refuses the
// open (EWOULDBLOCK) instead of holding it until the lease is broken.
int OpenForReading(const std::string& name, int pathFd, bool& surely) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", pathFd);
    surely = true;
    int fd = OpenRetrying(link, kFlags);
    if (fd >= 0 || errno != ENOENT) return fd;
    surely = false;
    return OpenRetrying(name.c_str(), kFlags);
}

}  // namespace

void FileTraits::Release(Value handle) noexcept { DescriptorTraits::Release(AsFd(handle)); }

OpenFailure OpenFailureOfError(unsigned long code) noexcept {
    switch (static_cast<int>(code)) {
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return OpenFailure::NotFound;
        case EACCES:
        case EPERM:
            return OpenFailure::AccessDenied;
        case EWOULDBLOCK:  // a lease held elsewhere
        case ETXTBSY:
            return OpenFailure::SharingViolation;
        case EISDIR:
        case ENXIO:
        case ENODEV:
            return OpenFailure::NotRegular;
        case EMFILE:
        case ENFILE:
            return OpenFailure::OutOfDescriptors;
        case ENOMEM:
        case ENOBUFS:
            return OpenFailure::OutOfMemory;
        default:
            return OpenFailure::Other;
    }
}

Result<File, OpenFailure> File::Open(const std::string& name, Share, bool sequential) noexcept {
    // The kind of file first, without opening it for reading.
    Descriptor path(OpenRetrying(name.c_str(), O_PATH | O_CLOEXEC));
    if (!path) return OpenFailureOfError(static_cast<unsigned long>(errno));
    struct stat kind{};
    if (fstat(path.Get(), &kind) != 0) return OpenFailureOfError(static_cast<unsigned long>(errno));
    if (!S_ISREG(kind.st_mode)) return OpenFailure::NotRegular;

    bool surely = false;
    Descriptor opened(OpenForReading(name, path.Get(), surely));
    if (!opened) return OpenFailureOfError(static_cast<unsigned long>(errno));
    struct stat st = kind;
    if (!surely) {
        // Another file put in its place between the two opens is not this one.
        if (fstat(opened.Get(), &st) != 0) return OpenFailureOfError(static_cast<unsigned long>(errno));
        if (!S_ISREG(st.st_mode) || !SameFile(st, kind)) return OpenFailure::Other;
    }
    // Of the status flags F_SETFL changes, the open set only O_NONBLOCK:
    // setting none clears it.
    if (fcntl(opened.Get(), F_SETFL, 0) != 0) return OpenFailureOfError(static_cast<unsigned long>(errno));
    // The hint pays only where more than one read follows.
    if (sequential && st.st_size > kSequentialHintFrom) posix_fadvise(opened.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return File(opened.Release(), IdentityFrom(st));
}

Result<File, OpenFailure> File::OpenLookedUp(const std::string& name, Share, bool sequential) noexcept {
    struct stat kind{};
    if (stat(name.c_str(), &kind) != 0) return OpenFailureOfError(static_cast<unsigned long>(errno));
    if (!S_ISREG(kind.st_mode)) return OpenFailure::NotRegular;
    Descriptor opened(OpenRetrying(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!opened) return OpenFailureOfError(static_cast<unsigned long>(errno));
    struct stat st{};
    if (fstat(opened.Get(), &st) != 0) return OpenFailureOfError(static_cast<unsigned long>(errno));
    if (!S_ISREG(st.st_mode)) return OpenFailure::NotRegular;
    if (!SameFile(st, kind)) return OpenFailure::Other;
    if (sequential && st.st_size > kSequentialHintFrom) posix_fadvise(opened.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return File(opened.Release(), IdentityFrom(st));
}

File::ReadResult File::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return ReadFailure::Failed;
    ssize_t got;
    do {
        got = pread(AsFd(handle_.Get()), buffer, count, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    if (got >= 0) return static_cast<std::uint32_t>(got);
    return errno == ENOMEM || errno == ENOBUFS ? ReadFailure::Exhausted : ReadFailure::Failed;
}

std::optional<FileIdentity> File::Identity() const noexcept {
    struct stat st{};
    if (fstat(AsFd(handle_.Get()), &st) != 0) return std::nullopt;
    return IdentityFrom(st);
}

std::optional<FileIdentity> IdentityOf(const std::string& name) {
    struct stat st{};
    if (name.empty() || stat(name.c_str(), &st) != 0) {
        ThrowIfExhausted(OpenFailureOfError(static_cast<unsigned long>(errno)));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    return IdentityFrom(st);
}

bool ChangedRecently(const FileIdentity& identity) noexcept {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return true;
    // Compared, not subtracted: a time set far into the past cannot overflow.
    const std::int64_t settledBefore = Nanoseconds(now) + (ClockAheadForTests() - 2) * kNanoseconds;
    return std::max(identity.modified, identity.changed) > settledBefore;
}

}  // namespace ondrel::platform
