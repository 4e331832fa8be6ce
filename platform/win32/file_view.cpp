#include <windows.h>

#include <cstdint>

#include "platform/file_view.h"

namespace ondrel::platform {

FileView FileView::MapWhole(const std::string& name) noexcept {
    FileView view;  // whatever it holds is released on every return
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return view;
    view.file_ = reinterpret_cast<std::intptr_t>(file);

    // An empty file cannot be mapped: this fails for it.
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) return view;
    view.mapping_ = reinterpret_cast<std::intptr_t>(mapping);

    // A file too large for the address space cannot be viewed whole: this fails.
    const void* data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (!data) return view;
    view.data_ = static_cast<const unsigned char*>(data);

#if SIZE_MAX > 0xFFFFFFFFu
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    std::uint64_t size = (static_cast<std::uint64_t>(high) << 32) | low;
#else
    // A 32-bit process views at most 2 or 3 GiB: the low word is the size.
    std::uint64_t size = GetFileSize(file, nullptr);
#endif
    // A writer sharing the file may have extended it since the mapping was
    // made: read no more than the view holds.
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(data, &region, sizeof region) == 0) return FileView();
    if (size > region.RegionSize) size = region.RegionSize;
    view.size_ = size;
    view.viewLength_ = static_cast<std::size_t>(region.RegionSize);
    return view;
}

void FileView::Release() noexcept {
    const DWORD error = GetLastError();
    if (data_) UnmapViewOfFile(data_);
    if (mapping_) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
    if (file_ != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file_));
    SetLastError(error);
    data_ = nullptr;
    mapping_ = 0;
    file_ = kNoFile;
    size_ = 0;
    viewLength_ = 0;
}

}  // namespace ondrel::platform
