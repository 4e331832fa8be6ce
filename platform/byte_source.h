#pragma once
// Bytes at an offset: the one way the file, the bytes kept of it and the
// PE reader are read (platform::FileReader serves the file and kept bytes).
#include <cstddef>
#include <cstdint>

namespace ondrel::platform {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const noexcept = 0;
    // Exactly count bytes at offset into out; false when the range reaches
    // past Size() or a read fails. May throw when the process runs out of
    // its own resources (ResourcesExhausted).
    virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t count) = 0;

protected:
    ByteSource() = default;
    ByteSource(const ByteSource&) = default;
    ByteSource& operator=(const ByteSource&) = default;
};

}  // namespace ondrel::platform
