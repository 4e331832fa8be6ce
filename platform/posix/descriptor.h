#pragma once
// POSIX file descriptors owned by UniqueHandle. close is async-signal-safe,
// so a child between fork and execve may release descriptors too. A release
// may change errno: take a failure's errno before anything is released.
#include <unistd.h>

#include "platform/handle.h"

namespace ondrel::platform {

struct DescriptorTraits {
    using Value = int;
    static Value Invalid() noexcept { return -1; }
    static void Release(Value fd) noexcept { close(fd); }
};
using Descriptor = UniqueHandle<DescriptorTraits>;

}  // namespace ondrel::platform
