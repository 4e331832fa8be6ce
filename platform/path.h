#pragma once
// How this system writes paths: the separator it writes between a folder and
// a name, and which characters separate (on Windows "/" and "\", elsewhere
// "/" alone).
#include <string>

namespace ondrel::platform {

#ifdef _WIN32
inline constexpr bool kBackslashSeparates = true;
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr bool kBackslashSeparates = false;
inline constexpr char kPathSeparator = '/';
#endif

inline bool IsPathSeparator(char c) noexcept { return c == '/' || (kBackslashSeparates && c == '\\'); }

// Whether a name can follow the path directly: it ends with a separator, or
// on Windows with a drive's colon ("C:").
inline bool EndsWithSeparator(const std::string& p) noexcept {
    return !p.empty() && (IsPathSeparator(p.back()) || (kBackslashSeparates && p.back() == ':'));
}

}  // namespace ondrel::platform
