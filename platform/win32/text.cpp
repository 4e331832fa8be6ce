#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/text.h"

namespace ondrel::platform {

const char* NextChar(const char* p) noexcept { return CharNextA(p); }

bool SameTextIgnoringCase(const std::string& a, const std::string& b) noexcept {
    if (a.size() > INT_MAX || b.size() > INT_MAX) return false;
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

void UpperCaseAnsi(std::string& text) noexcept {
    // CharUpperBuffA takes a 32-bit count; longer texts go in pieces.
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 0x40000000));
        CharUpperBuffA(text.data() + done, piece);
        done += piece;
    }
}

}  // namespace ondrel::platform
