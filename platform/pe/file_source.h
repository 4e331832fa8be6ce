#pragma once
// A ByteSource over an open file: positioned reads, nothing mapped.
#include "platform/pe/pe_reader.h"
#include "platform/reader.h"

namespace ondrel::pe {

class FileSource final : public ByteSource {
public:
    explicit FileSource(platform::FileReader& file) noexcept : file_(file), size_(file.Size()) {}
    std::uint64_t Size() const noexcept override { return size_; }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) noexcept override;

private:
    platform::FileReader& file_;
    std::uint64_t size_;
};

}  // namespace ondrel::pe
