#pragma once
// CRC-32 as in ISO-HDLC, zlib and PNG: reflected polynomial 0xEDB88320,
// register preset to all ones, result inverted.
#include <array>
#include <cstddef>
#include <cstdint>

namespace ondrel {

// The CRC-32 of the bytes, continuing one that ended with crc, as zlib's
// crc32(crc, buf, len): start from 0; Crc32(Crc32(0, a), b) is the CRC-32
// of a followed by b. The inversion before and after is inside.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t count) noexcept;

// The ways of computing, for tests and benchmarks: table slices on any
// machine, carry-less multiplication where the processor has it, and the
// same over 512-bit registers where it has that (x86 builds). Each
// advances the register (the CRC before its final inversion) alike for any
// bytes.
namespace crc32_detail {
enum class Method { Slices, Folding, WideFolding };
// Every method, slowest first.
inline constexpr std::array<Method, 3> kMethods{Method::Slices, Method::Folding, Method::WideFolding};
const char* MethodName(Method method) noexcept;
// False where the processor or the build lacks what the method needs.
bool Available(Method method) noexcept;
// Only where Available(method); any count.
std::uint32_t UpdateBy(Method method, std::uint32_t crcRegister, const unsigned char* data, std::size_t count) noexcept;
// The fastest available method, which Crc32 takes for all but short inputs.
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
