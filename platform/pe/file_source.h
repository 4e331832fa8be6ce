#pragma once
// A ByteSource over an open file: positioned reads of the file as it was
// when opened, nothing mapped.
#include "platform/pe/pe_reader.h"
#include "platform/reader.h"

namespace ondrel::pe {

class FileSource final : public ByteSource {
public:
    explicit FileSource(platform::FileReader& file) noexcept : file_(file) {}
    std::uint64_t Size() const noexcept override { return file_.Size(); }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) override {
        return file_.ReadAt(offset, out, count);
    }

private:
    platform::FileReader& file_;
};

}  // namespace ondrel::pe
