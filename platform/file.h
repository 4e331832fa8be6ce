#pragma once
// Regular disk files opened for reading, with the share modes the rules ask
// for; why an open failed, as a value; the identity of a file.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "platform/handle.h"
#include "platform/result.h"

namespace ondrel::platform {

enum class Share {
    Read,       // others may read but not write (FILE_SHARE_READ)
    ReadWrite,  // others may read and write (FILE_SHARE_READ | FILE_SHARE_WRITE)
};

// Why a file could not be opened. The last two are not facts about the
// file but about this process: it ran out of its own resources.
enum class OpenFailure {
    Other,             // "file cannot be opened"
    NotFound,          // "not found"
    NotRegular,        // "not a regular file" (a directory, a device, a pipe)
    SharingViolation,  // "sharing violation" (open or leased elsewhere for writing)
    AccessDenied,      // "access denied"
    OutOfDescriptors,  // "out of descriptors" (EMFILE, ENFILE, ERROR_TOO_MANY_OPEN_FILES)
    OutOfMemory,       // "out of memory" (ENOMEM, ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES)
};
const char* OpenFailureText(OpenFailure failure) noexcept;

constexpr bool IsExhaustion(OpenFailure failure) noexcept {
    return failure == OpenFailure::OutOfDescriptors || failure == OpenFailure::OutOfMemory;
}

// What the system's error code of a failed open (errno on POSIX, the last
// error on Windows) says about it.
OpenFailure OpenFailureOfError(unsigned long code) noexcept;

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

// Why a read gave no bytes. Exhausted is not a fact about the file but
// about this process: it ran out of memory.
enum class ReadFailure {
    Failed,
    Exhausted,
};

// A read that failed, or a file that ended before the bytes it had when
// it was opened were read.
class FileReadError : public std::exception {
public:
    const char* what() const noexcept override { return "file cannot be read"; }
};

// The process ran out of its own resources (descriptors, handles, memory):
// no answer about any file can be trusted now, so the evaluation ends with
// false whatever follows. Memory that runs out in our own code is
// std::bad_alloc, which the evaluation treats the same way.
class ResourcesExhausted : public std::exception {
public:
    explicit ResourcesExhausted(OpenFailure why = OpenFailure::OutOfMemory) noexcept : why_(why) {}
    const char* what() const noexcept override { return OpenFailureText(why_); }

private:
    OpenFailure why_;
};

// Throws ResourcesExhausted for an exhaustion, and does nothing otherwise.
inline void ThrowIfExhausted(OpenFailure failure) {
    if (IsExhaustion(failure)) throw ResourcesExhausted(failure);
}
// Throws ResourcesExhausted for an exhaustion, else FileOpenError.
[[noreturn]] inline void ThrowOpenFailure(OpenFailure failure) {
    ThrowIfExhausted(failure);
    throw FileOpenError(failure);
}

// Which file a name leads to, and in which state: a file that keeps its
// identity kept its bytes, unless it was rewritten within the resolution of
// its change time (see ChangedRecently). The modification time alone tells
// little, as writers set it back (touch -d, tar, cp -p, rsync -t,
// SetFileTime); the change time moves with every write and every change of
// the times (POSIX lets no program set it; Windows does, which few use).
//   POSIX: device, inode, size, modification and change times (ns).
//   Windows: volume serial number, file index, size, last-write and change
//   times (100 ns ticks since 1601).
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;  // 0 where the file system keeps no change time
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the regular file the name leads to now; nothing when it
// leads to none (missing, a directory, a device). Reads nothing and opens
// nothing for reading. Throws ResourcesExhausted.
std::optional<FileIdentity> IdentityOf(const std::string& name);

// Whether the file was modified or changed less than two seconds before
// now, or after now: it may change again without its identity changing (a
// rewrite of the same size that restores the modification time, within one
// tick of the change time: a second on ext3, a clock tick on ramfs), so
// what was read from it is not to be trusted later. A change time of 0
// (none kept) leaves the modification time to decide alone.
bool ChangedRecently(const FileIdentity& identity) noexcept;

// For tests only: the clock that ChangedRecently reads runs this many
// seconds ahead of the system's (0: the system's own), so that a file a test
// has just written can count as settled. Not for use by the rules.
void SetClockAheadForTests(std::int64_t seconds) noexcept;
std::int64_t ClockAheadForTests() noexcept;

// The system's handle of an open file, as an integer: a descriptor on
// POSIX, a HANDLE on Windows (-1 is invalid on both). Its release is the
// system's close, defined with each side's File.
struct FileTraits {
    using Value = std::intptr_t;
    static Value Invalid() noexcept { return -1; }
    static void Release(Value handle) noexcept;
};

// An existing regular disk file opened for reading. Move-only; closed when
// destroyed. Anything else that a name leads to (a directory, a FIFO or
// pipe, a socket, a terminal, console or other device) is refused before
// it is opened for reading, so no writer waiting at a FIFO is released and
// no device is touched:
//   Linux: an O_PATH open and fstat tell the kind; only a regular file is
//   then opened for reading (through /proc/self/fd, else by name again and
//   checked to be the same file), with O_NONBLOCK so that a lease held
//   elsewhere refuses the open instead of holding it.
//   Windows: names of devices, pipes and mail slots are refused unopened;
//   GetFileAttributesA must show neither a directory nor a device; after
//   CreateFileA, GetFileType must answer FILE_TYPE_DISK.
// POSIX cannot refuse other writers: Share::Read opens like Share::ReadWrite.
class File {
public:
    File() noexcept = default;

    static Result<File, OpenFailure> Open(const std::string& name, Share share, bool sequential = false) noexcept;
    // As Open, in fewer system calls, for a caller that opens many small
    // files and accepts a narrower guarantee. Linux: the name is looked up
    // first (stat), and only a regular file is then opened for reading by
    // name (O_NONBLOCK, O_NOCTTY) and checked (fstat) to be the file the
    // look-up found: something put in its place between the two is refused
    // before a byte is read, but it was opened. O_NONBLOCK stays set (reads
    // of regular files do not heed it). Five calls with the read and the
    // close against seven. Windows: Open.
    static Result<File, OpenFailure> OpenLookedUp(const std::string& name, Share share, bool sequential = false) noexcept;

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }

    // One read of up to count bytes at offset: the bytes delivered (0 at the
    // end of the file), or why none were. The file position is not relied on.
    using ReadResult = Result<std::uint32_t, ReadFailure>;
    ReadResult ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept;

    // The identity when the file was opened, and now (nothing when it
    // cannot be asked).
    const FileIdentity& IdentityAtOpen() const noexcept { return atOpen_; }
    std::optional<FileIdentity> Identity() const noexcept;
    // The full 64-bit size when the file was opened.
    std::uint64_t SizeAtOpen() const noexcept { return atOpen_.size; }

private:
    friend class ManyFiles;
    friend class FileReader;
    friend class Mapping;
    File(std::intptr_t handle, const FileIdentity& atOpen) noexcept : handle_(handle), atOpen_(atOpen) {}

    UniqueHandle<FileTraits> handle_;
    FileIdentity atOpen_;
};

}  // namespace ondrel::platform
