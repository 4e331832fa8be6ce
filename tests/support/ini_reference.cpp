#include "tests/support/ini_reference.h"

#include <cstring>

#include "platform/text.h"

namespace ondrel::testing {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32; }

std::string_view Trim(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

void AddLine(IniDocument& document, std::string_view raw) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';') return;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        document.sections.push_back({std::string(Trim(line.substr(1, line.size() - 2))), {}});
        return;
    }
    if (document.sections.empty()) return;
    const std::size_t equals = line.find('=');
    std::string stored(line);
    if (equals != std::string_view::npos)
        stored = std::string(Trim(line.substr(0, equals))) + "=" + std::string(Trim(line.substr(equals + 1)));
    document.sections.back().lines.push_back(std::move(stored));
}

}  // namespace

IniDocument ParseIniText(std::string_view bytes) {
    if (const void* nul = std::memchr(bytes.data(), 0, bytes.size()))
        bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
    IniDocument document;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", at);
        if (end == std::string_view::npos) end = bytes.size();
        AddLine(document, bytes.substr(at, end - at));
        if (end == bytes.size()) break;
        at = end + (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1);
    }
    return document;
}

std::optional<IniMatch> FindIniValue(const IniDocument& document, std::string_view ruleValue) {
    const std::string needle = Upper(ruleValue);
    if (needle.empty()) return std::nullopt;
    for (const IniSection& header : document.sections) {
        const IniSection* found = nullptr;
        for (const IniSection& s : document.sections)
            if (platform::FoldSectionName(s.name) == platform::FoldSectionName(header.name)) found = &s;
        for (const std::string& line : found->lines) {
            const std::size_t equals = line.find('=');
            if (equals == std::string::npos) continue;
            if (Upper(line.substr(equals + 1)).find(needle) != std::string::npos) return IniMatch{found->name, line};
        }
    }
    return std::nullopt;
}

}  // namespace ondrel::testing
