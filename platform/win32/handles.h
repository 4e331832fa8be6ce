#pragma once
// Win32 handles owned by UniqueHandle, each with its own release call.
#include <windows.h>

#include "platform/handle.h"

namespace ondrel::platform {

enum class InvalidValue { Null, InvalidHandleValue };

// Traits of a handle of type T released by Closer, whose invalid value is
// null or INVALID_HANDLE_VALUE.
template <typename T, InvalidValue invalid, typename Closer>
struct Win32HandleTraits {
    using Value = T;
    static Value Invalid() noexcept {
        if constexpr (invalid == InvalidValue::Null) {
            return nullptr;
        } else {
            return INVALID_HANDLE_VALUE;
        }
    }
    static void Release(Value value) noexcept { Closer{}(value); }
};

struct CloseKernelObject {
    void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
struct CloseSearch {
    void operator()(HANDLE h) const noexcept { FindClose(h); }
};
struct FreeModule {
    void operator()(HMODULE m) const noexcept { FreeLibrary(m); }
};
struct FreeResourceData {
    void operator()(HGLOBAL data) const noexcept { FreeResource(data); }
};

// A file opened by CreateFileA.
using FileHandleTraits = Win32HandleTraits<HANDLE, InvalidValue::InvalidHandleValue, CloseKernelObject>;
using FileHandle = UniqueHandle<FileHandleTraits>;
// A kernel object whose invalid value is null (process, thread, token).
using KernelHandleTraits = Win32HandleTraits<HANDLE, InvalidValue::Null, CloseKernelObject>;
using KernelHandle = UniqueHandle<KernelHandleTraits>;
// A directory search begun by FindFirstFileA.
using FindHandle = UniqueHandle<Win32HandleTraits<HANDLE, InvalidValue::InvalidHandleValue, CloseSearch>>;
// A module loaded by LoadLibraryExA (here: as a data file).
using ModuleHandle = UniqueHandle<Win32HandleTraits<HMODULE, InvalidValue::Null, FreeModule>>;
// Resource data loaded by LoadResource.
using ResourceHandle = UniqueHandle<Win32HandleTraits<HGLOBAL, InvalidValue::Null, FreeResourceData>>;

}  // namespace ondrel::platform
