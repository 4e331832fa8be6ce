#pragma once
// CRC-32 as in ISO-HDLC, zlib and PNG: reflected polynomial 0xEDB88320,
// register preset to all ones, result inverted.
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace ondrel {

// A readable byte stream of the library: it answers its size and its current
// position, and reads a number of bytes into a buffer.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    virtual std::uint64_t Size() const = 0;
    virtual std::uint64_t Position() const = 0;
    // Bytes delivered, at most count; 0 or less when nothing could be read.
    virtual std::int64_t Read(void* buffer, std::uint32_t count) = 0;
};

// A stream that delivered nothing although its end was not reached.
class StreamReadError : public std::exception {
public:
    const char* what() const noexcept override { return "stream read failed before its end"; }
};

// The published table: entry i is the CRC of the byte i alone, without the
// preset and the final inversion (entry 1 is 0x77073096, entry 128 0xEDB88320).
const std::array<std::uint32_t, 256>& Crc32Table() noexcept;

// Advances a CRC register (not inverted) over bytes.
std::uint32_t Crc32Update(std::uint32_t crcRegister, const void* data, std::size_t count) noexcept;

// The CRC-32 of a block of memory.
inline std::uint32_t Crc32Of(const void* data, std::size_t count) noexcept {
    return ~Crc32Update(0xFFFFFFFFu, data, count);
}

// The CRC-32 of the bytes from the stream's current position to its end;
// the stream is left at its end. Throws StreamReadError when a read delivers
// nothing short of the end.
std::uint32_t Crc32OfStream(ByteStream& stream);

// The ways of computing, for tests and benchmarks: table slices on any
// machine, carry-less multiplication where the processor has it, and the
// same over 512-bit registers where it has that (x86 builds). Each
// gives the same register for any bytes.
namespace crc32_detail {
enum class Method { Slices, Folding, WideFolding };
// Every method, slowest first.
inline constexpr std::array<Method, 3> kMethods{Method::Slices, Method::Folding, Method::WideFolding};
const char* MethodName(Method method) noexcept;
// False where the processor or the build lacks what the method needs.
bool Available(Method method) noexcept;
// Only where Available(method); any count.
std::uint32_t UpdateBy(Method method, std::uint32_t crcRegister, const unsigned char* data, std::size_t count) noexcept;
// The fastest available method, which Crc32Update takes for all but short inputs.
Method Chosen() noexcept;

std::uint32_t UpdateBySlices(std::uint32_t crcRegister, const unsigned char* data, std::size_t count) noexcept;
// False where the processor (or the build) has no carry-less multiplication.
bool FoldingAvailable() noexcept;
// Only where FoldingAvailable(); any count.
std::uint32_t UpdateByFolding(std::uint32_t crcRegister, const unsigned char* data, std::size_t count) noexcept;
// False where the processor (or the build) has no 512-bit carry-less multiplication.
bool WideFoldingAvailable() noexcept;
// Only where WideFoldingAvailable(); any count.
std::uint32_t UpdateByWideFolding(std::uint32_t crcRegister, const unsigned char* data, std::size_t count) noexcept;
}  // namespace crc32_detail

}  // namespace ondrel
