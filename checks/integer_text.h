#pragma once
// The integer syntax of numbers inside rule values.
#include <cstdint>
#include <optional>
#include <string_view>

namespace ondrel {

// Leading spaces (character 32 only), at most one sign, then decimal digits
// or hexadecimal digits after "$", "x", "X", "0x" or "0X"; a signed 32-bit
// result and nothing after the digits. Nothing when the text is invalid.
std::optional<std::int32_t> ParseIntegerText(std::string_view text) noexcept;

}  // namespace ondrel
