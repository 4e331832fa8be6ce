#include "checksums/hex.h"

namespace ondrel {

std::string HexText(const void* bytes, std::size_t count) {
    static constexpr char kAlphabet[] = "0123456789ABCDEF";
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::string text(2 * count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = kAlphabet[p[i] >> 4];
        text[2 * i + 1] = kAlphabet[p[i] & 15];
    }
    return text;
}

std::string Crc32ToHex(std::uint32_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return HexText(bytes, sizeof bytes);
}

}  // namespace ondrel
