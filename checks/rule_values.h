#pragma once
// How rule values are cut into their parts.
#include <string>

namespace ondrel {

// The text before the first "|"; the empty text when there is none.
std::string UpToBar(const std::string& text);

// The text without its first n characters; the empty text when it is not longer.
std::string DropFirst(const std::string& text, std::size_t n);

// first "|" second "|" rest, cut by lengths, each step on the whole value:
// first is the text before the first "|", second the text after it up to the
// next "|" (both empty where a "|" is missing), rest the value without its
// first (first + second + 2) characters.
struct BarParts {
    std::string first;
    std::string second;
    std::string rest;
};
BarParts CutAtBars(const std::string& value);

// name "-" expected, or expected alone: the name is the text before the first
// "-", the expected text all after it; an empty name becomes defaultName.
struct DashParts {
    std::string name;
    std::string expected;
};
DashParts CutAtDash(const std::string& value, const char* defaultName);

}  // namespace ondrel
