#include <windows.h>

#include <string>

#include "platform/mapping.h"
#include "platform/win32/handles.h"

namespace ondrel::platform {

Result<Mapping, Reason> Mapping::Of(const File& file) {
    const std::uint64_t size = file.SizeAtOpen();
    if (size == 0) return Mapping();
    if (size > SIZE_MAX) return Reason{"too large to map"};
    // The view keeps the mapping object alive once it is made.
    const UniqueHandle<Win32HandleTraits<HANDLE, InvalidValue::Null, CloseKernelObject>> object(
        CreateFileMappingA(reinterpret_cast<HANDLE>(file.handle_.Get()), nullptr, PAGE_READONLY,
                           static_cast<DWORD>(size >> 32), static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr));
    if (!object) return Reason{"cannot be mapped (error " + std::to_string(GetLastError()) + ")"};
    const void* data = MapViewOfFile(object.Get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    if (!data) return Reason{"cannot be mapped (error " + std::to_string(GetLastError()) + ")"};
    return Mapping(data, static_cast<std::size_t>(size));
}

void Mapping::Unmap() noexcept {
    if (data_) UnmapViewOfFile(data_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace ondrel::platform
