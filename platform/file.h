#pragma once
// Files opened for reading, with the share modes the rules ask for.
#include <cstdint>
#include <exception>
#include <string>

namespace ondrel::platform {

enum class Share {
    Read,       // others may read but not write (FILE_SHARE_READ)
    ReadWrite,  // others may read and write (FILE_SHARE_READ | FILE_SHARE_WRITE)
};

// The library's file-open error, thrown by rules that must not go on
// without the file.
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

class FileOpenError : public std::exception {
public:
    FileOpenError() noexcept = default;
    explicit FileOpenError(OpenFailure failure) noexcept : failure_(failure) {}
    OpenFailure Failure() const noexcept { return failure_; }
    const char* what() const noexcept override { return OpenFailureText(failure_); }

private:
    OpenFailure failure_ = OpenFailure::Other;
};

// An existing file opened for reading. Move-only; closed when destroyed.
// POSIX cannot refuse other writers: Share::Read opens like Share::ReadWrite.
class File {
public:
    File() noexcept = default;
    File(File&& other) noexcept : handle_(other.Release()) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // An invalid File when the file cannot be opened.
    static File Open(const std::string& name, Share share, bool sequential = false) noexcept;
    // As Open, but throws FileOpenError.
    static File OpenOrThrow(const std::string& name, Share share, bool sequential = false);

    explicit operator bool() const noexcept { return handle_ != kInvalid; }
    std::intptr_t Native() const noexcept { return handle_; }

    // Positions the file at start bytes from its beginning (SetFilePointer
    // with FILE_BEGIN): a negative start is refused and the position stays
    // where it was; a start past the end is accepted. True when accepted.
    bool Seek(std::int32_t start) noexcept;
    // Moves to an absolute 64-bit position. True when accepted.
    bool SeekTo(std::uint64_t position) noexcept;
    // Bytes delivered by one read of up to count bytes: 0 at the end, -1 on failure.
    std::int64_t Read(void* buffer, std::uint32_t count) noexcept;
    // Full 64-bit size and position; 0 when they cannot be asked.
    std::uint64_t Size() const noexcept;
    std::uint64_t Position() const noexcept;

private:
    static constexpr std::intptr_t kInvalid = -1;
    explicit File(std::intptr_t handle) noexcept : handle_(handle) {}
    std::intptr_t Release() noexcept {
        std::intptr_t h = handle_;
        handle_ = kInvalid;
        return h;
    }
    void Close() noexcept;

    std::intptr_t handle_ = kInvalid;
};

}  // namespace ondrel::platform
