#pragma once
// Regular disk files opened for reading, with the share modes the rules ask for.
#include <cstdint>
#include <exception>
#include <string>

#include "platform/handle.h"

namespace ondrel::platform {

enum class Share {
    Read,       // others may read but not write (FILE_SHARE_READ)
    ReadWrite,  // others may read and write (FILE_SHARE_READ | FILE_SHARE_WRITE)
};

// Why a file could not be opened, for those who watch an evaluation.
enum class OpenFailure {
    Other,             // "file cannot be opened"
    NotFound,          // "not found"
    NotRegular,        // "not a regular file" (a directory, a device)
    SharingViolation,  // "sharing violation" (open elsewhere for writing)
    AccessDenied,      // "access denied"
};
const char* OpenFailureText(OpenFailure failure) noexcept;

// Why the last File::Open of that name failed: read right after the failure,
// from the system's last error and the name's directory entry.
OpenFailure ExplainOpenFailure(const std::string& name) noexcept;

// The library's file-open error, thrown by rules that must not go on
// without the file.
class FileOpenError : public std::exception {
public:
    FileOpenError() noexcept = default;
    explicit FileOpenError(OpenFailure failure) noexcept : failure_(failure) {}
    OpenFailure Failure() const noexcept { return failure_; }
    const char* what() const noexcept override { return OpenFailureText(failure_); }

private:
    OpenFailure failure_ = OpenFailure::Other;
};

// A read that failed, or a file that ended before the bytes it had when
// it was opened were read.
class FileReadError : public std::exception {
public:
    const char* what() const noexcept override { return "file cannot be read"; }
};

// An existing regular disk file opened for reading. Move-only; closed when
// destroyed. Anything else that a name can open (a directory, a FIFO or
// pipe, a socket, a terminal, console or other device) is refused like a
// file that cannot be opened, before a byte is read, and without waiting
// for a writer or for data:
//   POSIX: open with O_NONBLOCK | O_NOCTTY, fstat must answer S_ISREG, then
//   O_NONBLOCK is cleared.
//   Windows: CreateFileA, then GetFileType must answer FILE_TYPE_DISK.
// POSIX cannot refuse other writers: Share::Read opens like Share::ReadWrite.
// The system's handle of an open file, as an integer: a descriptor on
// POSIX, a HANDLE on Windows (-1 is invalid on both). Its release is the
// system's close, defined with each side's File.
struct FileTraits {
    using Value = std::intptr_t;
    static Value Invalid() noexcept { return -1; }
    static void Release(Value handle) noexcept;
};

class File {
public:
    File() noexcept = default;

    // An invalid File when the file cannot be opened or is no regular disk file.
    static File Open(const std::string& name, Share share, bool sequential = false) noexcept;

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }

    // Bytes delivered by one read of up to count bytes at offset: 0 at the
    // end of the file, -1 on failure. The file position is not relied on.
    std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept;
    // The full 64-bit size now; 0 when it cannot be asked.
    std::uint64_t Size() const noexcept;
    // The size the open saw, where it asked for it (POSIX: the fstat that
    // checks the kind of file); else the size now.
    std::uint64_t SizeAtOpen() const noexcept { return sizeAtOpen_ != kUnknownSize ? sizeAtOpen_ : Size(); }

private:
    static constexpr std::uint64_t kUnknownSize = UINT64_MAX;
    explicit File(std::intptr_t handle, std::uint64_t sizeAtOpen = kUnknownSize) noexcept
        : handle_(handle), sizeAtOpen_(sizeAtOpen) {}

    UniqueHandle<FileTraits> handle_;
    std::uint64_t sizeAtOpen_ = kUnknownSize;
};

}  // namespace ondrel::platform
