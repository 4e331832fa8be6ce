#pragma once
// Hexadecimal text and ASCII upper-casing.
#include <cstdint>
#include <string>

namespace ondrel {

// Changes only the bytes "a" to "z", each to its capital; no locale is consulted.
constexpr char AsciiUpper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

inline void AsciiUpper(std::string& text) noexcept {
    for (char& c : text) c = AsciiUpper(c);
}

inline std::string AsciiUpperCopy(std::string text) {
    AsciiUpper(text);
    return text;
}

// Two upper-case hexadecimal characters, high nibble first: 10 gives "0A".
inline std::string ByteToHex(std::uint8_t byte) {
    static constexpr char kAlphabet[] = "0123456789ABCDEF";
    return {kAlphabet[byte >> 4], kAlphabet[byte & 15]};
}

// The CrcText of a value: eight upper-case hexadecimal characters, most
// significant byte first, leading zeros kept.
inline std::string Crc32ToHex(std::uint32_t value) {
    std::string text;
    text.reserve(8);
    for (int shift = 24; shift >= 0; shift -= 8) text += ByteToHex(static_cast<std::uint8_t>(value >> shift));
    return text;
}

}  // namespace ondrel
