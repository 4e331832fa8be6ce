#include <windows.h>

#include <algorithm>

#include "platform/file.h"
#include "platform/win32/handles.h"
#include "platform/win32/names.h"

namespace ondrel::platform {

namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::int64_t Ticks(const FILETIME& t) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

std::optional<FileIdentity> IdentityOfHandle(HANDLE h) noexcept {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
    // Only this gives the change time, which SetFileTime moves on when it
    // sets the last-write time back.
    FILE_BASIC_INFO times;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &times, sizeof times)) return std::nullopt;
    FileIdentity id;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    id.modified = times.LastWriteTime.QuadPart;
    id.changed = times.ChangeTime.QuadPart;
    return id;
}

// What the name leads to, asked without opening it: a failure, or
// OpenFailure::Other for a regular disk file.
OpenFailure KindOfName(const std::string& name) noexcept {
    if (IsDeviceName(name)) return OpenFailure::NotRegular;
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return OpenFailureOfError(GetLastError());
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return OpenFailure::NotRegular;
    return OpenFailure::Other;
}

bool IsExhaustedError(DWORD error) { return IsExhaustion(OpenFailureOfError(error)); }

}  // namespace

void FileTraits::Release(Value handle) noexcept { CloseHandle(AsHandle(handle)); }

OpenFailure OpenFailureOfError(unsigned long code) noexcept {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_FILENAME_EXCED_RANGE:
            return OpenFailure::NotFound;
        case ERROR_BAD_FILE_TYPE:
        case ERROR_DIRECTORY:
            return OpenFailure::NotRegular;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return OpenFailure::SharingViolation;
        case ERROR_ACCESS_DENIED:
            return OpenFailure::AccessDenied;
        case ERROR_TOO_MANY_OPEN_FILES:
            return OpenFailure::OutOfDescriptors;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
        case ERROR_NONPAGED_SYSTEM_RESOURCES:
        case ERROR_PAGED_SYSTEM_RESOURCES:
        case ERROR_COMMITMENT_LIMIT:
        case ERROR_NOT_ENOUGH_QUOTA:
        case ERROR_WORKING_SET_QUOTA:
            return OpenFailure::OutOfMemory;
        default:
            return OpenFailure::Other;
    }
}

Result<File, OpenFailure> File::Open(const std::string& name, Share share, bool sequential) noexcept {
    if (const OpenFailure kind = KindOfName(name); kind != OpenFailure::Other) return kind;
    const DWORD shareMode = share == Share::Read ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0);
    FileHandle handle(CreateFileA(name.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!handle) return OpenFailureOfError(GetLastError());
    // Whatever else opened (it changed since it was asked about) is no file to read.
    if (GetFileType(handle.Get()) != FILE_TYPE_DISK) return OpenFailure::NotRegular;
    std::optional<FileIdentity> identity = IdentityOfHandle(handle.Get());
    if (!identity) return OpenFailureOfError(GetLastError());
    return File(reinterpret_cast<std::intptr_t>(handle.Release()), *identity);
}

File::ReadResult File::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (ReadFile(AsHandle(handle_.Get()), buffer, count, &got, &at)) return static_cast<std::uint32_t>(got);
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0u;
    return IsExhaustedError(error) ? ReadFailure::Exhausted : ReadFailure::Failed;
}

std::optional<FileIdentity> File::Identity() const noexcept { return IdentityOfHandle(AsHandle(handle_.Get())); }

Result<File, OpenFailure> File::OpenLookedUp(const std::string& name, Share share, bool sequential) noexcept {
    return Open(name, share, sequential);
}

std::optional<FileIdentity> IdentityOf(const std::string& name) {
    const OpenFailure kind = KindOfName(name);
    ThrowIfExhausted(kind);
    if (kind != OpenFailure::Other) return std::nullopt;
    // No access asked: attributes only, so no share mode of another open
    // refuses it and nothing is read.
    FileHandle handle(CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        ThrowIfExhausted(OpenFailureOfError(GetLastError()));
        return std::nullopt;
    }
    if (GetFileType(handle.Get()) != FILE_TYPE_DISK) return std::nullopt;
    return IdentityOfHandle(handle.Get());
}

bool ChangedRecently(const FileIdentity& identity) noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    constexpr std::int64_t kSecond = 10000000;  // in 100-nanosecond ticks
    // Compared, not subtracted: a time set far into the past cannot overflow.
    const std::int64_t settledBefore = Ticks(now) + (ClockAheadForTests() - 2) * kSecond;
    return std::max(identity.modified, identity.changed) > settledBefore;
}

}  // namespace ondrel::platform
