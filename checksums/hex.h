#pragma once
// Hexadecimal text and ASCII upper-casing.
#include <string>

namespace ondrel {

// Changes only the bytes "a" to "z", each to its capital; no locale is consulted.
inline void AsciiUpper(std::string& text) noexcept {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
}

inline std::string AsciiUpperCopy(std::string text) {
    AsciiUpper(text);
    return text;
}

}  // namespace ondrel
