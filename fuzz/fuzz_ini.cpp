// libFuzzer target: the INI rule's search as the file is read, in pieces
// and in parts, against the whole document parsed and searched plainly.
// Input: a needle, a NUL byte, then the file's bytes (without a NUL the
// whole input is the file and its first line the needle).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "checks/ini_rule.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/ini_reference.h"

namespace {

bool IsTrimmed(char c) { return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32; }

using ondrel::fuzz::Require;

// A stored text is trimmed and holds no line break and no NUL.
void CheckStored(std::string_view text) {
    if (!text.empty()) Require(!IsTrimmed(text.front()) && !IsTrimmed(text.back()));
    Require(text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos);
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

    const ondrel::testing::IniDocument doc = ondrel::testing::ParseIniText(text);
    for (const ondrel::testing::IniSection& section : doc.sections) {
        CheckStored(section.name);
        for (const std::string& line : section.lines) {
            CheckStored(line);
            Require(!line.empty() && line.front() != ';');
        }
    }
    const bool expected = ondrel::testing::FindIniValue(doc, needle).has_value();

    // The search as the file is read, in pieces and parts the input chooses.
    const std::size_t piece = 1 + size % 97;
    const std::uint32_t parts = 1 + static_cast<std::uint32_t>(size % 3);
    bool found = false;
    for (std::uint32_t part = 0; part < parts; ++part) {
        ondrel::IniValueSearch search(needle, parts, part);
        for (std::size_t at = 0; at < text.size(); at += piece) search.Feed(text.substr(at, piece));
        search.Finish();
        Require(!search.Overflowed());
        found |= search.Match().has_value();
    }
    Require(found == expected);
    return 0;
}
