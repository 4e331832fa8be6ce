#include "checks/rule_values.h"

namespace ondrel {

namespace {

// The text before the first "|"; the empty text when there is none.
std::string_view UpToBar(std::string_view text) {
    const std::size_t bar = text.find('|');
    return bar == std::string_view::npos ? std::string_view() : text.substr(0, bar);
}

// The text without its first n characters; the empty text when it is not longer.
std::string_view DropFirst(std::string_view text, std::size_t n) {
    return n < text.size() ? text.substr(n) : text.substr(text.size());
}

}  // namespace

ParsedValue ParseWhole(const std::string& value) { return ParsedValue{{}, value}; }

std::string FormatWhole(const RuleArguments&, std::string_view expected) { return std::string(expected); }

ParsedValue ParseCountSkip(const std::string& value) {
    const std::string_view count = UpToBar(value);
    const std::string_view rest = DropFirst(value, count.size() + 1);
    const std::size_t bar = rest.find('|');
    if (bar == std::string_view::npos) return ParsedValue{{std::string(count)}, rest};
    return ParsedValue{{std::string(count), std::string(rest.substr(0, bar))}, rest.substr(bar + 1)};
}

std::string FormatCountSkip(const RuleArguments& arguments, std::string_view expected) {
    std::string value = arguments.at(0) + "|";
    if (arguments.size() > 1) value += arguments[1] + "|";
    return value += expected;
}

ParsedValue ParseTwoBars(const std::string& value) {
    const std::string_view first = UpToBar(value);
    const std::string_view second = UpToBar(DropFirst(value, first.size() + 1));
    return ParsedValue{{std::string(first), std::string(second)}, DropFirst(value, first.size() + second.size() + 2)};
}

std::string FormatTwoBars(const RuleArguments& arguments, std::string_view expected) {
    return arguments.at(0) + "|" + arguments.at(1) + "|" + std::string(expected);
}

ParsedValue ParseNamed(const std::string& value, const char* defaultName) {
    ParsedValue parsed{{std::string()}, value};
    const std::size_t dash = value.find('-');
    if (dash != std::string::npos) {
        parsed.arguments[0] = value.substr(0, dash);
        parsed.expected = std::string_view(value).substr(dash + 1);
    }
    if (parsed.arguments[0].empty()) parsed.arguments[0] = defaultName;
    return parsed;
}

std::string FormatNamed(const RuleArguments& arguments, std::string_view expected) {
    return arguments.at(0) + "-" + std::string(expected);
}

}  // namespace ondrel
