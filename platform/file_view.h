#pragma once
// A whole file mapped read-only into memory.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ondrel::platform {

// Owns the open file, its mapping and the view of it; releases them in the
// reverse order (view, mapping, file) when destroyed. Move-only.
class FileView {
public:
    FileView() noexcept = default;
    FileView(FileView&& other) noexcept { Take(other); }
    FileView& operator=(FileView&& other) noexcept {
        if (this != &other) {
            Release();
            Take(other);
        }
        return *this;
    }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView() { Release(); }

    // An existing file opened for reading while other processes may read and
    // write it, with the sequential-scan hint, mapped read-only as a whole.
    // Invalid when any step fails: a missing or locked file, an empty file
    // (nothing to map), a file too large for the address space.
    //   Windows: CreateFileA, CreateFileMappingA (PAGE_READONLY, the file's
    //   size), MapViewOfFile (FILE_MAP_READ, all of it), GetFileSize.
    //   POSIX: open read-only, mmap read-only, madvise sequential.
    static FileView MapWhole(const std::string& name) noexcept;

    explicit operator bool() const noexcept { return data_ != nullptr; }
    const unsigned char* Data() const noexcept { return data_; }
    // The bytes of the view to read. In a 32-bit Windows process, the low
    // word of the file's size (a file of 4 GiB or more never maps there);
    // elsewhere the whole size. Never more than the view holds.
    std::uint64_t Size() const noexcept { return size_; }

private:
    void Release() noexcept;
    void Take(FileView& other) noexcept {
        file_ = other.file_;
        mapping_ = other.mapping_;
        data_ = other.data_;
        size_ = other.size_;
        viewLength_ = other.viewLength_;
        other.file_ = kNoFile;
        other.mapping_ = 0;
        other.data_ = nullptr;
        other.size_ = 0;
        other.viewLength_ = 0;
    }

    static constexpr std::intptr_t kNoFile = -1;
    std::intptr_t file_ = kNoFile;     // file handle or descriptor
    std::intptr_t mapping_ = 0;        // mapping handle (Windows only)
    const unsigned char* data_ = nullptr;
    std::uint64_t size_ = 0;
    std::size_t viewLength_ = 0;       // what was mapped (POSIX unmaps by length)
};

}  // namespace ondrel::platform
