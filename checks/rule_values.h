#pragma once
// How rule values are cut into their arguments and expected text, and
// written back: the parse and format of the rows that compute and compare.
// Each parse cuts the value as the rule always has, for any text; each
// format writes a value that parses back into its arguments and expected
// text (when no argument holds the separator that follows it).
#include <string>
#include <string_view>

#include "checks/rule.h"

namespace ondrel {

// The value is the expected text; no arguments ("CRC32", "MD5", "SECMD5", ...).
ParsedValue ParseWhole(const std::string& value);
std::string FormatWhole(const RuleArguments& arguments, std::string_view expected);

// count "|" expected, or count "|" skip "|" expected ("ENDMD5"): count is
// the text before the first "|" (empty when there is none), and the rest is
// the value without its first (count + 1) characters; a "|" in the rest
// ends skip. Arguments: count, or count and skip.
ParsedValue ParseCountSkip(const std::string& value);
std::string FormatCountSkip(const RuleArguments& arguments, std::string_view expected);

// first "|" second "|" rest ("SIZEMD5", "RESMD5"), cut by lengths, each
// step on the whole value: first is the text before the first "|", second
// the text after it up to the next "|" (both empty where a "|" is missing),
// the expected text the value without its first (first + second + 2)
// characters. Arguments: first and second.
ParsedValue ParseTwoBars(const std::string& value);
std::string FormatTwoBars(const RuleArguments& arguments, std::string_view expected);

// name "-" expected, or expected alone ("SSECMD5", "ICONMD5", "BRMD5"): the
// name is the text before the first "-", the expected text all after it;
// an empty name becomes DefaultName. Arguments: the name.
ParsedValue ParseNamed(const std::string& value, const char* defaultName);
template <const char* DefaultName>
ParsedValue ParseNamed(const std::string& value) {
    return ParseNamed(value, DefaultName);
}
std::string FormatNamed(const RuleArguments& arguments, std::string_view expected);

}  // namespace ondrel
