#include "checks/ini_rule.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <unordered_map>

#include "checks/rules.h"
#include "checksums/hex.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/text.h"

namespace ondrel {

namespace {

class FileReadError : public std::exception {
public:
    const char* what() const noexcept override { return "file cannot be read"; }
};

// Bytes 1 to 32: control characters and the space.
bool IsTrimmed(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

std::string_view Trim(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsTrimmed(text[begin])) ++begin;
    while (end > begin && IsTrimmed(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

void AddLine(IniDocument& document, std::string_view raw) {
    std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';') return;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        // A new section even when one of that name exists already.
        document.sections.push_back({std::string(Trim(line.substr(1, line.size() - 2))), {}});
        return;
    }
    if (document.sections.empty()) return;  // above the first header
    std::vector<std::string>& lines = document.sections.back().lines;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        lines.emplace_back(line);
        return;
    }
    std::string_view name = Trim(line.substr(0, equals));
    std::string_view value = Trim(line.substr(equals + 1));
    std::string stored;
    stored.reserve(name.size() + 1 + value.size());
    stored.append(name).append(1, '=').append(value);
    lines.push_back(std::move(stored));
}

}  // namespace

IniDocument ParseIniText(std::string_view bytes) {
    // The first NUL ends the text.
    if (const void* nul = std::memchr(bytes.data(), 0, bytes.size()))
        bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
    IniDocument document;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", at);
        if (end == std::string_view::npos) end = bytes.size();
        AddLine(document, bytes.substr(at, end - at));
        if (end == bytes.size()) break;
        // CR LF is one break; LF CR is two.
        at = end + (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1);
    }
    return document;
}

std::string_view IniLineValue(std::string_view line) noexcept {
    std::size_t equals = line.find('=');
    return equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
}

std::optional<IniMatch> FindIniValue(const IniDocument& document, std::string_view ruleValue) {
    const std::string needle = AsciiUpperCopy(std::string(ruleValue));
    if (needle.empty()) return std::nullopt;  // an empty fragment occurs nowhere
    const std::vector<IniSection>& sections = document.sections;

    // A name finds the last section that carries it, compared through the
    // ANSI upper-case mapping. Every header leads to a search of the section
    // its name finds; searching a section again cannot find what the first
    // search did not, so each found section is searched once, in the order
    // in which its name first appears.
    std::unordered_map<std::string, std::size_t> lastOfName;
    std::vector<const std::size_t*> foundFor(sections.size());
    for (std::size_t i = 0; i < sections.size(); ++i) {
        std::string key = sections[i].name;
        platform::UpperCaseAnsi(key);
        std::size_t& last = lastOfName[std::move(key)];
        last = i;
        foundFor[i] = &last;  // element references survive rehashing
    }

    // Boyer-Moore keeps the search linear in the value's length.
    const std::boyer_moore_searcher searcher(needle.begin(), needle.end());
    std::vector<bool> searched(sections.size());
    std::string upper;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const std::size_t found = *foundFor[i];
        if (searched[found]) continue;
        searched[found] = true;
        for (const std::string& line : sections[found].lines) {
            std::string_view value = IniLineValue(line);
            if (value.size() < needle.size()) continue;
            upper.assign(value);
            AsciiUpper(upper);
            if (std::search(upper.begin(), upper.end(), searcher) != upper.end())
                return IniMatch{sections[found].name, line};
        }
    }
    return std::nullopt;
}

std::string ReadWholeFile(const std::string& fileName) {
    platform::File file = platform::File::OpenOrThrow(fileName, platform::Share::Read);
    const std::uint64_t size = file.Size();
    std::string bytes;
    if (size > bytes.max_size()) throw std::bad_alloc();
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t got = 0;
    while (got < bytes.size()) {
        auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size() - got, 0x40000000));
        std::int64_t read = file.Read(bytes.data() + got, piece);
        if (read < 0) throw FileReadError();
        if (read == 0) break;  // the file shrank since it was measured
        got += static_cast<std::size_t>(read);
    }
    bytes.resize(got);
    return bytes;
}

bool FilePresent(const std::string& fileName) {
    std::optional<platform::DirectoryEntry> entry = platform::FindFirstEntry(fileName);
    return entry && !entry->isDirectory && entry->hasDosTime;
}

bool IniRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    if (!FilePresent(fileName)) {
        trace.Set("no such file (or a directory, or last written outside 1980-2107)");
        return false;
    }
    const IniDocument document = ParseIniText(ReadWholeFile(fileName));
    std::optional<IniMatch> match = FindIniValue(document, value);
    if (!match) {
        trace.Set("no value holds it");
        return false;
    }
    trace.Set("[" + match->section + "] " + match->line);
    return true;
}

bool IniFileHasValue(const std::string& fileName, const std::string& ruleValue) {
    RuleTrace ignored;
    return IniRule(fileName, ruleValue, ignored);
}

}  // namespace ondrel
