#include "checks/integer_text.h"

namespace ondrel {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::int32_t> ParseIntegerText(std::string_view text) noexcept {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ') ++i;

    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';

    bool hex = false;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }

    std::uint32_t value = 0;
    std::size_t digits = 0;
    if (hex) {
        for (; i < n; ++i, ++digits) {
            int d = HexDigit(text[i]);
            if (d < 0) break;
            if (value >= (1u << 28)) return std::nullopt;  // a ninth significant digit
            value = (value << 4) | static_cast<std::uint32_t>(d);
        }
        if (negative) value = 0u - value;  // negation modulo 2^32
    } else {
        for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
            if (value > 214748364u) return std::nullopt;
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        }
        if (value > (negative ? 2147483648u : 2147483647u)) return std::nullopt;
        if (negative) value = 0u - value;
    }
    if (digits == 0 || i != n) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace ondrel
