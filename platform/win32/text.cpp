#include <windows.h>

#include <algorithm>
#include <climits>
#include <new>

#include "platform/text.h"

namespace ondrel::platform {

const char* NextChar(const char* p) noexcept { return CharNextA(p); }

bool SameTextIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() > INT_MAX || b.size() > INT_MAX) return false;
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::string TextKeyIgnoringCase(std::string_view text) {
    if (text.size() > INT_MAX) throw std::bad_alloc();
    constexpr DWORD kFlags = LCMAP_SORTKEY | NORM_IGNORECASE;
    // The empty text has a sort key too; the service takes it only as a
    // zero-terminated string.
    const char* source = text.empty() ? "" : text.data();
    const int length = text.empty() ? -1 : static_cast<int>(text.size());
    const int needed = LCMapStringA(LOCALE_USER_DEFAULT, kFlags, source, length, nullptr, 0);
    if (needed <= 0) throw std::bad_alloc();
    // The key comes with a terminating zero byte, which is kept: it is the
    // same for every key.
    std::string key(static_cast<std::size_t>(needed), '\0');
    if (LCMapStringA(LOCALE_USER_DEFAULT, kFlags, source, length, key.data(), needed) != needed)
        throw std::bad_alloc();
    return key;
}

std::string FileNameKey(std::string_view name) { return TextKeyIgnoringCase(name); }

void UpperCaseAnsi(std::string& text) noexcept {
    // CharUpperBuffA takes a 32-bit count; longer texts go in pieces.
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 0x40000000));
        CharUpperBuffA(text.data() + done, piece);
        done += piece;
    }
}

std::string FoldSectionName(std::string_view name) {
    std::string folded(name);
    UpperCaseAnsi(folded);
    return folded;
}

void SectionNameHasher::Flush(bool all) {
    // The case mapping takes whole characters: a lead byte of a double-byte
    // character at the end waits for its trail byte.
    std::size_t end = pending_.size();
    if (!all) {
        std::size_t at = 0;
        while (at < pending_.size()) {
            const std::size_t width = IsDBCSLeadByte(static_cast<BYTE>(pending_[at])) ? 2 : 1;
            if (at + width > pending_.size()) break;
            at += width;
        }
        end = at;
    }
    std::string piece = pending_.substr(0, end);
    UpperCaseAnsi(piece);
    for (char c : piece) folded_.Add(static_cast<unsigned char>(c));
    pending_.erase(0, end);
}

void SectionNameHasher::Feed(std::string_view bytes) {
    constexpr std::size_t kPiece = 4096;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kPiece);
        pending_.append(bytes.substr(0, n));
        bytes.remove_prefix(n);
        if (pending_.size() >= kPiece) Flush(false);
    }
}

void SectionNameHasher::FeedBlanks(const PolynomialHash& run) {
    Flush(true);
    folded_.Append(run);
}

PolynomialHash SectionNameHasher::Finish() {
    Flush(true);
    return folded_;
}

}  // namespace ondrel::platform
