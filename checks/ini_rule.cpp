#include "checks/ini_rule.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <unordered_map>

#include "checks/rules.h"
#include "checksums/hex.h"
#include "platform/reader.h"
#include "platform/find.h"
#include "platform/text.h"

namespace ondrel {

namespace {

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

// One line of INI text, trimmed and told apart.
struct IniLine {
    enum Kind { Skipped, Header, Setting, Plain } kind = Skipped;
    std::string_view text;   // Header: the name; Plain: the line
    std::string_view name;   // Setting: trimmed name
    std::string_view value;  // Setting: trimmed value
};

IniLine Classify(std::string_view raw) {
    std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';') return {};
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']')
        return {IniLine::Header, Trim(line.substr(1, line.size() - 2)), {}, {}};
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return {IniLine::Plain, line, {}, {}};
    return {IniLine::Setting, {}, Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

std::string StoredSetting(std::string_view name, std::string_view value) {
    std::string stored;
    stored.reserve(name.size() + 1 + value.size());
    stored.append(name).append(1, '=').append(value);
    return stored;
}

void AddLine(IniDocument& document, std::string_view raw) {
    const IniLine line = Classify(raw);
    switch (line.kind) {
        case IniLine::Skipped:
            return;
        case IniLine::Header:
            // A new section even when one of that name exists already.
            document.sections.push_back({std::string(line.text), {}});
            return;
        case IniLine::Plain:
            if (!document.sections.empty()) document.sections.back().lines.emplace_back(line.text);
            return;
        case IniLine::Setting:
            if (!document.sections.empty())  // lines above the first header are not kept
                document.sections.back().lines.push_back(StoredSetting(line.name, line.value));
            return;
    }
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

IniValueSearch::IniValueSearch(std::string_view ruleValue) : needle_(ruleValue) {
    AsciiUpper(needle_);
    searcher_.emplace(needle_.cbegin(), needle_.cend());
}

void IniValueSearch::Feed(std::string_view bytes) {
    if (ended_) return;
    // The first NUL ends the text.
    if (const void* nul = std::memchr(bytes.data(), 0, bytes.size())) {
        bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
        ended_ = true;
    }
    // CR, LF and CR LF all end a line; the empty lines between the bytes of
    // a CR LF pair are skipped like every empty line.
    while (!bytes.empty()) {
        const std::size_t end = bytes.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            line_.append(bytes);
            return;
        }
        if (line_.empty()) {
            Line(bytes.substr(0, end));
        } else {
            line_.append(bytes.substr(0, end));
            Line(line_);
            line_.clear();
        }
        bytes.remove_prefix(end + 1);
    }
}

std::optional<IniMatch> IniValueSearch::Finish() {
    if (!line_.empty()) Line(line_);
    line_.clear();
    ended_ = true;
    for (const NameState& name : names_)
        if (name.line) return IniMatch{name.section, *name.line};
    return std::nullopt;
}

bool IniValueSearch::Holds(std::string_view value) {
    if (value.size() < needle_.size()) return false;
    upper_.assign(value);
    AsciiUpper(upper_);
    return std::search(upper_.cbegin(), upper_.cend(), *searcher_) != upper_.cend();
}

void IniValueSearch::Line(std::string_view raw) {
    if (needle_.empty()) return;  // an empty fragment occurs nowhere
    const IniLine line = Classify(raw);
    if (line.kind == IniLine::Header) {
        // A name finds the last section that carries it: a new header of a
        // name forgets what the earlier section of that name held.
        key_.assign(line.text);
        platform::UpperCaseAnsi(key_);
        auto [at, added] = index_.try_emplace(key_, names_.size());
        if (added) names_.emplace_back();
        names_[at->second] = {std::string(line.text), std::nullopt};
        current_ = at->second;
        return;
    }
    // Only values are searched, and only the first match of a section counts.
    if (line.kind != IniLine::Setting || !current_ || names_[*current_].line) return;
    if (Holds(line.value)) names_[*current_].line = StoredSetting(line.name, line.value);
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
    platform::FileReader file = platform::FileReader::OpenOrThrow(fileName, platform::Share::Read);
    IniValueSearch search(value);
    const platform::RangeEnd end = file.ReadRange(0, file.Size(), [&](const unsigned char* data, std::size_t n) {
        search.Feed(std::string_view(reinterpret_cast<const char*>(data), n));
    });
    // A file that shrank since it was opened is read up to its new end.
    if (end == platform::RangeEnd::Failed) throw platform::FileReadError();
    std::optional<IniMatch> match = search.Finish();
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
