#include "platform/reader.h"

#include <algorithm>
#include <atomic>

namespace ondrel::platform {

namespace {

// Bytes left before reads fail; negative: reads never fail by the seam.
std::atomic<std::int64_t> g_readsLeft{-1};

// One read through the seam: the bytes delivered, 0 at the end, or
// ReadFailure::Failed. Throws ResourcesExhausted when the read failed for
// want of memory.
File::ReadResult ReadThroughSeam(File& file, std::uint64_t offset, void* out, std::uint32_t count) {
    std::int64_t left = g_readsLeft.load(std::memory_order_relaxed);
    if (left == 0) return ReadFailure::Failed;
    if (left > 0 && static_cast<std::uint64_t>(left) < count) count = static_cast<std::uint32_t>(left);
    const File::ReadResult got = file.ReadAt(offset, out, count);
    if (!got && got.failure() == ReadFailure::Exhausted) throw ResourcesExhausted(OpenFailure::OutOfMemory);
    if (left > 0 && got && *got > 0) g_readsLeft.fetch_sub(*got, std::memory_order_relaxed);
    return got;
}

}  // namespace

void FailReadsAfter(std::uint64_t bytes) noexcept {
    g_readsLeft.store(static_cast<std::int64_t>(std::min<std::uint64_t>(bytes, INT64_MAX)));
}

void StopFailingReads() noexcept { g_readsLeft.store(-1); }

bool ReadsFailBySeam() noexcept { return g_readsLeft.load(std::memory_order_relaxed) >= 0; }

Result<FileReader, OpenFailure> FileReader::Open(const std::string& name, Share share) noexcept {
    Result<File, OpenFailure> file = File::Open(name, share, true);
    if (!file) return file.failure();
    return FileReader(std::move(*file));
}

Result<FileReader, OpenFailure> FileReader::OpenLookedUp(const std::string& name, Share share) noexcept {
    Result<File, OpenFailure> file = File::OpenLookedUp(name, share, true);
    if (!file) return file.failure();
    return FileReader(std::move(*file));
}

FileReader FileReader::Over(const FileBytes& kept) noexcept {
    FileIdentity identity = kept.identity;
    identity.size = kept.bytes.size();
    FileReader reader(File(FileTraits::Invalid(), identity));
    // A pointer even for no bytes: the reader is valid.
    static const unsigned char kNone = 0;
    reader.kept_ = kept.bytes.empty() ? &kNone : kept.bytes.data();
    return reader;
}

FileReader FileReader::Over(const void* data, std::size_t size) noexcept {
    return Over(FileBytes{{static_cast<const unsigned char*>(data), size}, {}});
}

FileReader FileReader::OpenOrThrow(const std::string& name, Share share) {
    Result<FileReader, OpenFailure> reader = Open(name, share);
    if (!reader) ThrowOpenFailure(reader.failure());
    return std::move(*reader);
}

File::ReadResult FileReader::Fill(std::uint64_t offset, std::uint32_t want) {
    if (!buffer_ || want > capacity_) {
        const std::uint32_t size = buffer_ ? kChunk : want;
        buffer_.reset();
        capacity_ = 0;
        buffer_ = std::make_unique_for_overwrite<unsigned char[]>(size);
        capacity_ = size;
    }
    return ReadThroughSeam(file_, offset, buffer_.get(), want);
}

bool FileReader::ReadAt(std::uint64_t offset, void* out, std::size_t count) {
    if (offset > Size() || count > Size() - offset) return false;
    if (kept_) {
        if (count > 0) std::memcpy(out, kept_ + offset, count);
        return true;
    }
    auto* p = static_cast<unsigned char*>(out);
    while (count > 0) {
        const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::size_t>(count, kChunk));
        const File::ReadResult got = ReadThroughSeam(file_, offset, p, want);
        if (!got || *got == 0) return false;
        p += *got;
        offset += *got;
        count -= *got;
    }
    return true;
}

}  // namespace ondrel::platform
