#pragma once
// The blanks of check lists and INI lines.

namespace ondrel {

// Bytes 1 to 32: control characters and the space. They end an unquoted
// check-list item and are trimmed from INI lines.
constexpr bool IsBlank(char c) noexcept {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

}  // namespace ondrel
