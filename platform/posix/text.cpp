#include "platform/text.h"

#include <array>

namespace ondrel::platform {

namespace {

// Upper case of Windows-1252: a-z, the accented small letters 0xE0-0xFE
// (but 0xF7, the division sign), and the four small letters of 0x80-0x9F
// and 0xFF whose capitals lie elsewhere in the page.
constexpr std::array<unsigned char, 256> MakeUpperTable() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
    for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<unsigned char>(c - 32);
    for (int c = 0xE0; c <= 0xFE; ++c)
        if (c != 0xF7) table[c] = static_cast<unsigned char>(c - 32);
    table[0x9A] = 0x8A;  // s caron
    table[0x9C] = 0x8C;  // oe
    table[0x9E] = 0x8E;  // z caron
    table[0xFF] = 0x9F;  // y diaeresis
    return table;
}

constexpr std::array<unsigned char, 256> kUpper = MakeUpperTable();

unsigned char Upper(char c) { return kUpper[static_cast<unsigned char>(c)]; }

}  // namespace

const char* NextChar(const char* p) noexcept { return *p ? p + 1 : p; }

bool SameTextIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

std::string TextKeyIgnoringCase(std::string_view text) {
    std::string key(text);
    UpperCaseAnsi(key);
    return key;
}

void UpperCaseAnsi(std::string& text) noexcept {
    for (char& c : text) c = static_cast<char>(Upper(c));
}

}  // namespace ondrel::platform
