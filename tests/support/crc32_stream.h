#pragma once
// CRC-32 of a byte stream read in chunks, as the check library once computed
// it: the stream answers its size and position and reads into a buffer; a
// read that delivers nothing short of the end raises, rather than looping.
// Kept for tests of chunked reading over the library's Crc32 (header-only).
#include <cstdint>
#include <exception>
#include <memory>

#include "checksums/crc32.h"

namespace ondrel::testing {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    virtual std::uint64_t Size() const = 0;
    virtual std::uint64_t Position() const = 0;
    // Bytes delivered, at most count; 0 or less when nothing could be read.
    virtual std::int64_t Read(void* buffer, std::uint32_t count) = 0;
};

class StreamReadError : public std::exception {
public:
    const char* what() const noexcept override { return "stream read failed before its end"; }
};

// The CRC-32 of the bytes from the stream's position to its end, read in
// chunks of 8192 bytes; the stream is left at its end.
inline std::uint32_t Crc32OfStream(ByteStream& stream) {
    constexpr std::uint32_t kChunk = 8192;
    std::unique_ptr<unsigned char[]> buffer;
    std::uint32_t crc = 0;
    while (stream.Position() < stream.Size()) {
        if (!buffer) buffer = std::make_unique<unsigned char[]>(kChunk);
        const std::int64_t got = stream.Read(buffer.get(), kChunk);
        if (got <= 0) throw StreamReadError();
        crc = Crc32(crc, buffer.get(), static_cast<std::size_t>(got));
    }
    return crc;
}

}  // namespace ondrel::testing
