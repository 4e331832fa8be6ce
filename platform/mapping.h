#pragma once
// A whole regular file mapped into memory for reading, for the ondrel
// command (the library's platform target leaves it out): an index is
// looked up in place, without being read into memory first.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/file.h"
#include "platform/result.h"

namespace ondrel::platform {

// Move-only; the view is unmapped when the object goes. The bytes are those
// of the file as it is on disk: another process's writes show through, so a
// reader checks what it reads against the bounds it knows.
//   POSIX: mmap of the descriptor, PROT_READ, MAP_SHARED.
//   Windows: CreateFileMappingA (PAGE_READONLY) and MapViewOfFile
//   (FILE_MAP_READ); the mapping object is closed once the view holds it.
class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(Mapping&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept {
        if (this != &other) {
            Unmap();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { Unmap(); }

    // The file's bytes as they were sized when it was opened; an empty file
    // maps to no bytes. Fails when the file is larger than the address space
    // allows, or the system refuses.
    static Result<Mapping, Reason> Of(const File& file);

    std::string_view Bytes() const noexcept { return {static_cast<const char*>(data_), size_}; }

private:
    Mapping(const void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    void Unmap() noexcept;

    const void* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace ondrel::platform
