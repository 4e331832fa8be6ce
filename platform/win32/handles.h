#pragma once
// Win32 handles owned by UniqueHandle, each with its own release call. The
// releases keep the thread's last error, so a failure's code survives the
// cleanup.
#include <windows.h>

#include "platform/handle.h"

namespace ondrel::platform {

namespace detail {
template <typename Call>
void KeepingLastError(Call call) noexcept {
    const DWORD error = GetLastError();
    call();
    SetLastError(error);
}
}  // namespace detail

// A kernel object opened by CreateFileA and the like: invalid is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Release(Value h) noexcept {
        detail::KeepingLastError([h] { CloseHandle(h); });
    }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// A kernel object whose invalid value is null (process, thread, token).
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Release(Value h) noexcept {
        detail::KeepingLastError([h] { CloseHandle(h); });
    }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// A directory search begun by FindFirstFileA.
struct FindHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Release(Value h) noexcept {
        detail::KeepingLastError([h] { FindClose(h); });
    }
};
using FindHandle = UniqueHandle<FindHandleTraits>;

// A module loaded by LoadLibraryExA (here: as a data file).
struct ModuleTraits {
    using Value = HMODULE;
    static Value Invalid() noexcept { return nullptr; }
    static void Release(Value module) noexcept {
        detail::KeepingLastError([module] { FreeLibrary(module); });
    }
};
using ModuleHandle = UniqueHandle<ModuleTraits>;

// Resource data loaded by LoadResource.
struct ResourceTraits {
    using Value = HGLOBAL;
    static Value Invalid() noexcept { return nullptr; }
    static void Release(Value data) noexcept {
        detail::KeepingLastError([data] { FreeResource(data); });
    }
};
using ResourceHandle = UniqueHandle<ResourceTraits>;

}  // namespace ondrel::platform
