// libFuzzer target: the INI parser and the search of values, from memory,
// and the same search fed in pieces as a file is read.
// Input: a needle, a NUL byte, then the file's bytes (without a NUL the
// whole input is the file and its first line the needle).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checks/ini_rule.h"
#include "checksums/hex.h"
#include "fuzz/fuzz_support.h"
#include "platform/text.h"

namespace {

bool IsTrimmed(char c) { return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32; }

using ondrel::fuzz::Require;

// A stored text is trimmed and holds no line break and no NUL.
void CheckStored(std::string_view text) {
    if (!text.empty()) Require(!IsTrimmed(text.front()) && !IsTrimmed(text.back()));
    Require(text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos);
}

// Every header looks up the last section of its name and searches it.
std::optional<ondrel::IniMatch> SearchWrittenOut(const ondrel::IniDocument& doc, std::string_view ruleValue) {
    const std::string needle = ondrel::AsciiUpperCopy(std::string(ruleValue));
    if (needle.empty()) return std::nullopt;
    std::vector<std::string> keys;
    for (const ondrel::IniSection& s : doc.sections) {
        keys.push_back(s.name);
        ondrel::platform::UpperCaseAnsi(keys.back());
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::size_t found = i;
        for (std::size_t j = i; j < keys.size(); ++j)
            if (keys[j] == keys[i]) found = j;
        for (const std::string& line : doc.sections[found].lines) {
            std::string value = ondrel::AsciiUpperCopy(std::string(ondrel::IniLineValue(line)));
            if (value.find(needle) != std::string::npos) return ondrel::IniMatch{doc.sections[found].name, line};
        }
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t cut = input.find('\0');
    std::string_view needle, text;
    if (cut != std::string_view::npos) {
        needle = input.substr(0, cut);
        text = input.substr(cut + 1);
    } else {
        cut = input.find_first_of("\r\n");
        needle = input.substr(0, cut == std::string_view::npos ? input.size() : cut);
        text = input;
    }

    const ondrel::IniDocument doc = ondrel::ParseIniText(text);
    for (const ondrel::IniSection& section : doc.sections) {
        CheckStored(section.name);
        for (const std::string& line : section.lines) {
            CheckStored(line);
            Require(!line.empty() && line.front() != ';');
        }
    }

    std::optional<ondrel::IniMatch> match = ondrel::FindIniValue(doc, needle);
    std::optional<ondrel::IniMatch> expected = SearchWrittenOut(doc, needle);
    Require(match.has_value() == expected.has_value());
    if (match) Require(match->section == expected->section && match->line == expected->line);

    // The search as the file is read, in pieces of a size the input chooses.
    const std::size_t piece = 1 + size % 97;
    ondrel::IniValueSearch search(needle);
    for (std::size_t at = 0; at < text.size(); at += piece) search.Feed(text.substr(at, piece));
    std::optional<ondrel::IniMatch> asRead = search.Finish();
    Require(asRead.has_value() == match.has_value());
    if (asRead) Require(asRead->section == match->section && asRead->line == match->line);
    return 0;
}
