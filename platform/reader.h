#pragma once
// The one way the rules read a file: a regular disk file opened with the
// share mode the rule needs, read in sequential ranges of large chunks
// through one buffer that the reader owns and reuses.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "platform/byte_source.h"
#include "platform/file.h"

namespace ondrel::platform {

// How reading a range ended.
enum class RangeEnd {
    Complete,   // every byte of the range was delivered
    EndOfFile,  // the file ended first; the bytes before its end were delivered
    Failed,     // a read failed; the bytes before it were delivered
};

// What the image services parsed of kept bytes, once for all the rules that
// look at them (defined by the side that parses: platform/posix/image.cpp).
struct KeptImage;

// The bytes of a whole regular file read before, kept in memory, and the
// file's identity when it was opened (its size is the count of the bytes).
// The image services keep what they parse of them beside them, so that a
// list of many image rules parses the image once, not once a rule; the
// bytes and what was parsed belong to one thread at a time.
struct FileBytes {
    std::span<const unsigned char> bytes;
    FileIdentity identity;
    mutable std::shared_ptr<KeptImage> image = nullptr;  // made at the first image rule
};

// A file, or bytes kept of one, as bytes at an offset.
class FileReader final : public ByteSource {
public:
    // Bytes asked of the system at a time: the size of the buffer.
    static constexpr std::uint32_t kChunk = 256 * 1024;
    // A count that reaches the end of any file.
    static constexpr std::uint64_t kToEnd = UINT64_MAX;

    FileReader() noexcept = default;
    FileReader(FileReader&& other) noexcept
        : file_(std::move(other.file_)), kept_(std::exchange(other.kept_, nullptr)), buffer_(std::move(other.buffer_)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    FileReader& operator=(FileReader&& other) noexcept {
        file_ = std::move(other.file_);
        kept_ = std::exchange(other.kept_, nullptr);
        buffer_ = std::move(other.buffer_);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    // The reader of a regular disk file (see File::Open), or why there is
    // none. The sequential-scan hint goes with every open.
    static Result<FileReader, OpenFailure> Open(const std::string& name, Share share) noexcept;
    // As Open, but throws when the file cannot be read: ResourcesExhausted
    // when the process ran out of its own resources, else FileOpenError.
    static FileReader OpenOrThrow(const std::string& name, Share share);
    // As Open, through File::OpenLookedUp.
    static Result<FileReader, OpenFailure> OpenLookedUp(const std::string& name, Share share) noexcept;
    // A reader of bytes kept in memory, which it does not own: it delivers
    // what a reader of the file they came from delivered then, and reads
    // nothing from the system. file() is no open file, with the identity.
    static FileReader Over(const FileBytes& kept) noexcept;
    // As Over, for bytes of no file (tests, fuzzing): the identity is their count.
    static FileReader Over(const void* data, std::size_t size) noexcept;

    explicit operator bool() const noexcept { return static_cast<bool>(file_) || kept_; }
    // The file's size when it was opened. Nothing past it is ever read: a
    // file of size 0 is not read at all.
    std::uint64_t Size() const noexcept override { return file_.SizeAtOpen(); }
    const File& file() const noexcept { return file_; }

    // Hands the bytes from offset on, up to count of them and never past
    // Size(), to sink(const unsigned char* data, std::size_t n) in order, a
    // chunk at a time. A range that reaches past Size() ends with EndOfFile
    // after the bytes before it. The buffer is allocated at the first read,
    // as large as that read (a small file costs a small buffer), and reused
    // after; a larger read later replaces it with one of kChunk bytes.
    // Throws std::bad_alloc when allocating fails, ResourcesExhausted when a
    // read fails for want of memory.
    template <typename Sink>
    RangeEnd ReadRange(std::uint64_t offset, std::uint64_t count, Sink&& sink) {
        const std::uint64_t size = Size();
        const std::uint64_t available = offset < size ? size - offset : 0;
        const bool clipped = count > available;
        if (clipped) count = available;
        while (count > 0) {
            // Reads end on multiples of the chunk size in the file, so that
            // after the first they cover whole pages of the page cache.
            const std::uint32_t toBoundary = kChunk - static_cast<std::uint32_t>(offset % kChunk);
            const std::uint32_t want = count < toBoundary ? static_cast<std::uint32_t>(count) : toBoundary;
            const File::ReadResult got = kept_ ? File::ReadResult(want) : Fill(offset, want);
            if (!got) return RangeEnd::Failed;
            if (*got == 0) return RangeEnd::EndOfFile;
            sink(kept_ ? kept_ + offset : static_cast<const unsigned char*>(buffer_.get()), static_cast<std::size_t>(*got));
            offset += *got;
            count -= *got;
        }
        return clipped ? RangeEnd::EndOfFile : RangeEnd::Complete;
    }

    // Exactly count bytes at offset into out, read straight into it; false
    // when the range reaches past Size() or a read fails. Throws
    // ResourcesExhausted when a read fails for want of memory.
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) override;

private:
    friend class ManyFiles;
    explicit FileReader(File file) noexcept : file_(std::move(file)) {}
    // One read of up to want bytes at offset into the buffer: the bytes
    // delivered, 0 at the end of the file, or why none were.
    File::ReadResult Fill(std::uint64_t offset, std::uint32_t want);

    File file_;
    const unsigned char* kept_ = nullptr;  // the bytes of a reader over memory
    std::unique_ptr<unsigned char[]> buffer_;
    std::uint32_t capacity_ = 0;  // bytes in buffer_
};

// A seam for tests: once the process's readers have delivered this many
// more bytes, every further read fails as an I/O error would, until
// StopFailingReads. Not for use by the rules.
void FailReadsAfter(std::uint64_t bytes) noexcept;
void StopFailingReads() noexcept;
// Whether the seam is failing reads, or will.
bool ReadsFailBySeam() noexcept;

}  // namespace ondrel::platform
