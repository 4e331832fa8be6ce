#include "checks/rule_values.h"

namespace ondrel {

std::string UpToBar(const std::string& text) {
    const std::size_t bar = text.find('|');
    return bar == std::string::npos ? std::string() : text.substr(0, bar);
}

std::string DropFirst(const std::string& text, std::size_t n) {
    return n < text.size() ? text.substr(n) : std::string();
}

BarParts CutAtBars(const std::string& value) {
    BarParts parts;
    parts.first = UpToBar(value);
    parts.second = UpToBar(DropFirst(value, parts.first.size() + 1));
    parts.rest = DropFirst(value, parts.first.size() + parts.second.size() + 2);
    return parts;
}

DashParts CutAtDash(const std::string& value, const char* defaultName) {
    DashParts parts{std::string(), value};
    const std::size_t dash = value.find('-');
    if (dash != std::string::npos) {
        parts.name = value.substr(0, dash);
        parts.expected = value.substr(dash + 1);
    }
    if (parts.name.empty()) parts.name = defaultName;
    return parts;
}

}  // namespace ondrel
