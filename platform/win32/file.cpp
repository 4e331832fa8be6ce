#include <windows.h>

#include "platform/file.h"

namespace ondrel::platform {

namespace {
HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

File File::Open(const std::string& name, Share share, bool sequential) noexcept {
    DWORD shareMode = share == Share::Read ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return File();
    return File(reinterpret_cast<std::intptr_t>(h));
}

void File::Close() noexcept {
    if (handle_ != kInvalid) {
        DWORD error = GetLastError();
        CloseHandle(AsHandle(handle_));
        SetLastError(error);
        handle_ = kInvalid;
    }
}

bool File::Seek(std::int32_t start) noexcept {
    DWORD result = SetFilePointer(AsHandle(handle_), static_cast<LONG>(start), nullptr, FILE_BEGIN);
    return !(result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool File::SeekTo(std::uint64_t position) noexcept {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(position);
    return SetFilePointerEx(AsHandle(handle_), distance, nullptr, FILE_BEGIN) != 0;
}

std::int64_t File::Read(void* buffer, std::uint32_t count) noexcept {
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), buffer, count, &got, nullptr)) return -1;
    return got;
}

std::uint64_t File::Size() const noexcept {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(AsHandle(handle_), &size)) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::uint64_t File::Position() const noexcept {
    LARGE_INTEGER zero{}, position{};
    if (!SetFilePointerEx(AsHandle(handle_), zero, &position, FILE_CURRENT)) return 0;
    return static_cast<std::uint64_t>(position.QuadPart);
}

}  // namespace ondrel::platform
