#pragma once
// The 8-bit text conventions of check lists and the INI rule: blanks, and
// upper-casing that consults no locale (keywords, the INI fragment).
#include <string>

namespace ondrel {

// Bytes 1 to 32: control characters and the space. They end an unquoted
// check-list item and are trimmed from INI lines.
constexpr bool IsBlank(char c) noexcept {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

// Changes only the bytes "a" to "z", each to its capital.
constexpr char AsciiUpper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

inline void AsciiUpper(std::string& text) noexcept {
    for (char& c : text) c = AsciiUpper(c);
}

inline std::string AsciiUpperCopy(std::string text) {
    AsciiUpper(text);
    return text;
}

}  // namespace ondrel
