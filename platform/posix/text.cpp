#include "platform/text.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "platform/posix/unicode_upper.h"

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

// Unicode's simple upper-case mapping of one code point.
char32_t UpperCodePoint(char32_t c) {
    const auto& runs = unicode::kUpperRuns;
    auto after = std::upper_bound(std::begin(runs), std::end(runs), c,
                                  [](char32_t value, const unicode::UpperRun& run) { return value < run.first; });
    if (after == std::begin(runs)) return c;
    const unicode::UpperRun& run = *std::prev(after);
    if (c > run.last || (run.stride == 2 && (c - run.first) % 2 != 0)) return c;
    return static_cast<char32_t>(static_cast<std::int32_t>(c) + run.delta);
}

template <typename Out>
void EncodeUtf8(char32_t c, Out out) {
    if (c < 0x80) {
        out(static_cast<unsigned char>(c));
    } else if (c < 0x800) {
        out(static_cast<unsigned char>(0xC0 | (c >> 6)));
        out(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out(static_cast<unsigned char>(0xE0 | (c >> 12)));
        out(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
        out(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    } else {
        out(static_cast<unsigned char>(0xF0 | (c >> 18)));
        out(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F)));
        out(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
        out(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    }
}

// A strict UTF-8 decoder, a byte at a time: no overlong forms, no
// surrogates, nothing above U+10FFFF.
struct Utf8Decoder {
    char32_t codePoint = 0;
    int needed = 0;
    char32_t minimum = 0;

    // False when the byte cannot continue valid UTF-8; otherwise true, with
    // done set when it ended a code point (then in codePoint).
    bool Take(unsigned char b, bool& done) {
        done = false;
        if (needed == 0) {
            if (b < 0x80) {
                codePoint = b;
                done = true;
                return true;
            }
            if (b >= 0xC2 && b <= 0xDF) return Start(b & 0x1F, 1, 0x80);
            if (b >= 0xE0 && b <= 0xEF) return Start(b & 0x0F, 2, 0x800);
            if (b >= 0xF0 && b <= 0xF4) return Start(b & 0x07, 3, 0x10000);
            return false;
        }
        if ((b & 0xC0) != 0x80) return false;
        codePoint = (codePoint << 6) | (b & 0x3F);
        if (--needed > 0) return true;
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return false;
        done = true;
        return true;
    }
    bool Start(char32_t bits, int continuation, char32_t smallest) {
        codePoint = bits;
        needed = continuation;
        minimum = smallest;
        return true;
    }
};

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

std::string FileNameKey(std::string_view name) { return std::string(name); }

void UpperCaseAnsi(std::string& text) noexcept {
    for (char& c : text) c = static_cast<char>(Upper(c));
}

std::string FoldSectionName(std::string_view name) {
    std::string folded;
    folded.reserve(name.size());
    Utf8Decoder decoder;
    for (char c : name) {
        bool done;
        if (!decoder.Take(static_cast<unsigned char>(c), done)) return TextKeyIgnoringCase(name);
        if (done) EncodeUtf8(UpperCodePoint(decoder.codePoint), [&](unsigned char b) { folded += static_cast<char>(b); });
    }
    if (decoder.needed != 0) return TextKeyIgnoringCase(name);  // ends inside a character
    return folded;
}

void SectionNameHasher::Feed(std::string_view bytes) {
    for (char c : bytes) {
        ansi_.Add(Upper(c));
        if (!valid_) continue;
        Utf8Decoder decoder{codePoint_, needed_, minimum_};
        bool done;
        valid_ = decoder.Take(static_cast<unsigned char>(c), done);
        codePoint_ = decoder.codePoint;
        needed_ = decoder.needed;
        minimum_ = decoder.minimum;
        if (valid_ && done) EncodeUtf8(UpperCodePoint(codePoint_), [&](unsigned char b) { utf8_.Add(b); });
    }
}

void SectionNameHasher::FeedBlanks(const PolynomialHash& run) {
    ansi_.Append(run);
    if (needed_ != 0) valid_ = false;  // a blank inside a character
    if (valid_) utf8_.Append(run);
}

PolynomialHash SectionNameHasher::Finish() { return valid_ && needed_ == 0 ? utf8_ : ansi_; }

}  // namespace ondrel::platform
