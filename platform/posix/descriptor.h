#pragma once
// POSIX file descriptors owned by UniqueHandle: closed keeping errno, so a
// failure's errno survives the cleanup. close is async-signal-safe, so a
// child between fork and execve may reset descriptors too.
#include <unistd.h>

#include <cerrno>

#include "platform/handle.h"

namespace ondrel::platform {

struct DescriptorTraits {
    using Value = int;
    static Value Invalid() noexcept { return -1; }
    static void Release(Value fd) noexcept {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
};
using Descriptor = UniqueHandle<DescriptorTraits>;

}  // namespace ondrel::platform
