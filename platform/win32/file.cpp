#include <windows.h>

#include "platform/file.h"
#include "platform/win32/handles.h"

namespace ondrel::platform {

namespace {
HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

void FileTraits::Release(Value handle) noexcept { FileHandleTraits::Release(AsHandle(handle)); }

File File::Open(const std::string& name, Share share, bool sequential) noexcept {
    DWORD shareMode = share == Share::Read ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return File();
    File file(reinterpret_cast<std::intptr_t>(h));
    // Consoles, NUL, serial ports and pipes open too; none is a file to read.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        file = File();
        SetLastError(ERROR_BAD_FILE_TYPE);  // after the close, for ExplainOpenFailure
        return file;
    }
    return file;
}

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_.Get()), buffer, count, &got, &at)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

std::uint64_t File::Size() const noexcept {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(AsHandle(handle_.Get()), &size)) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

}  // namespace ondrel::platform
