#pragma once
// Little-endian fields written into bytes held in a string, for tests and
// benchmarks that build or damage files. Header-only, so that benchmarks
// can use it without the test support library.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ondrel::testing {

// Writes the low 16 bits of v at offset at, growing the string when it is shorter.
inline void Put16(std::string& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

// Writes v at offset at, growing the string when it is shorter.
inline void Put32(std::string& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

}  // namespace ondrel::testing
