#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/mapping.h"

namespace ondrel::platform {

Result<Mapping, Reason> Mapping::Of(const File& file) {
    const std::uint64_t size = file.SizeAtOpen();
    if (size == 0) return Mapping();
    if (size > SIZE_MAX) return Reason{"too large to map"};
    void* data = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED,
                      static_cast<int>(file.handle_.Get()), 0);
    if (data == MAP_FAILED) return Reason{std::string("cannot be mapped: ") + std::strerror(errno)};
    return Mapping(data, static_cast<std::size_t>(size));
}

void Mapping::Unmap() noexcept {
    if (data_) munmap(const_cast<void*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace ondrel::platform
