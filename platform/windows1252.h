#pragma once
// Windows-1252, the ANSI code page of the POSIX builds: bytes below 0x80 and
// from 0xA0 are the code points of the same number; 0x80 to 0x9F are the 32
// characters of this table (the five unassigned ones map to themselves, as
// the platform's conversion maps them).
#include <cstdint>
#include <optional>

namespace ondrel::platform {

inline constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char16_t Windows1252ToUtf16(unsigned char byte) noexcept {
    return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : static_cast<char16_t>(byte);
}

// The byte of a character in the page; nothing when the page lacks it.
constexpr std::optional<unsigned char> Utf16ToWindows1252(char16_t c) noexcept {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
    for (int i = 0; i < 32; ++i)
        if (kWindows1252High[i] == c) return static_cast<unsigned char>(0x80 + i);
    return std::nullopt;
}

}  // namespace ondrel::platform
