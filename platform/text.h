#pragma once
// Text services of the system's ANSI code page.
//
// On Windows these are the user's locale services. On POSIX the ANSI code
// page is fixed to Windows-1252, a single-byte page: every byte is one
// character, and case mapping follows that page's letters.
#include <string>
#include <string_view>

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

// Upper-cases a text in place with the ANSI case mapping (CharUpperBuffA).
void UpperCaseAnsi(std::string& text) noexcept;

}  // namespace ondrel::platform
