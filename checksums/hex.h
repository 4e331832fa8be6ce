#pragma once
// Hexadecimal text: the one form in which rules compare, and caches hold,
// digests and checksums.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ondrel {

// Two upper-case hexadecimal characters per byte, high nibble first, in the
// order of the bytes: {0x0A, 0xFF} gives "0AFF".
std::string HexText(const void* bytes, std::size_t count);

// The CrcText of a value: eight upper-case hexadecimal characters, most
// significant byte first, leading zeros kept.
std::string Crc32ToHex(std::uint32_t value);

}  // namespace ondrel
