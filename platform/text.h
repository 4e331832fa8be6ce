#pragma once
// Text services of the system's ANSI code page.
//
// On Windows these are the user's locale services. On POSIX the ANSI code
// page is fixed to Windows-1252, a single-byte page: every byte is one
// character, and case mapping follows that page's letters.
#include <string>
#include <string_view>

#include "platform/name_hash.h"

namespace ondrel::platform {

// The character after the one at p (CharNextA); p itself at the terminator.
const char* NextChar(const char* p) noexcept;

// Equality of two texts ignoring letter case, as the user's locale sees it
// (CompareStringA with LOCALE_USER_DEFAULT and NORM_IGNORECASE).
bool SameTextIgnoringCase(std::string_view a, std::string_view b) noexcept;

// A key of the text for that equality: two texts are the same ignoring case
// exactly when their keys are equal byte for byte. On Windows the locale's
// sort key (LCMapStringA with LCMAP_SORTKEY and NORM_IGNORECASE), elsewhere
// the upper-cased text. Throws std::bad_alloc when the key cannot be made.
std::string TextKeyIgnoringCase(std::string_view text);

// The key under which a file name is looked up where names are compared as
// the system compares them: on Windows the sort key above (letter case
// ignored, as CompareStringA ignores it); on POSIX, where names are
// case-sensitive, the name itself. Throws std::bad_alloc.
std::string FileNameKey(std::string_view name);

// Upper-cases a text in place with the ANSI case mapping (CharUpperBuffA).
void UpperCaseAnsi(std::string& text) noexcept;

// INI section names compared ignoring letter case: the fold of a name, and
// two names are one section exactly when their folds are equal.
//   Windows: the ANSI case mapping (CharUpperBuffA).
//   POSIX: a name that is valid UTF-8 folds per character by Unicode's
//   simple upper-case mapping, whatever the process locale; any other
//   through the Windows-1252 page (UpperCaseAnsi).
std::string FoldSectionName(std::string_view name);

// The fold of a name fed in pieces, of any length, kept only as a hash.
// Blanks (bytes 1 to 32) fold to themselves and always stand between
// characters, so a run of them may be fed as the hash of its bytes.
class SectionNameHasher {
public:
    void Feed(std::string_view bytes);
    void FeedBlanks(const PolynomialHash& run);
    // The hash of FoldSectionName of everything fed.
    PolynomialHash Finish();

private:
#ifdef _WIN32
    void Flush(bool all);
    std::string pending_;  // bytes not yet folded, up to a character boundary
    PolynomialHash folded_;
#else
    PolynomialHash ansi_;  // the Windows-1252 fold
    PolynomialHash utf8_;  // the UTF-8 fold, while the bytes are valid UTF-8
    bool valid_ = true;
    char32_t codePoint_ = 0;
    int needed_ = 0;        // continuation bytes still to come
    char32_t minimum_ = 0;  // smallest code point the sequence may encode
#endif
};

}  // namespace ondrel::platform
