// libFuzzer target: the whole entry. The check list comes from the input and
// AdvancedCheck evaluates it against one of a few fixture files.
// Input: one byte choosing the fixture, then the check list (up to a NUL).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ondrel.h"
#include "tests/support/pe_writer.h"

namespace {

using ondrel::fuzz::Require;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Small PE images, INI text, an empty file, a missing name and a folder.
struct Fixtures {
    ondrel::fuzz::ScratchDir scratch{"ondrel-fuzz-check"};
    std::vector<std::string> names;

    Fixtures() {
        PeImage image;
        image.sections = {{".text", "code bytes"}, {"CODE", std::string(40, 'c')}, {"a b,\"c", "odd name"}};
        image.resources = {{PeKey::Id(14), PeKey::Name(u"MAINICON"), 0, "icon group"},
                           {PeKey::Id(2), PeKey::Id(100), 0x409, "bitmap"},
                           {PeKey::Id(10), PeKey::Name(u"SETTINGS"), 0, "data"},
                           {PeKey::Name(u"CUSTOM"), PeKey::Id(1), 0x407, "custom"}};
        Add("image.dll", image.Bytes());
        PeImage wide;
        wide.pe32plus = true;
        wide.sections = {{".text", "x"}, {".data", ""}};
        wide.resources = {{PeKey::Id(16), PeKey::Id(1), 0, "version"}};
        Add("wide.exe", wide.Bytes());
        Add("settings.ini", "[Main]\r\nPath = C:\\Tools\\app.exe\r\n; note\r\n[main]\nName=Value\n[Other]\nx=\xe9t\xe9\n");
        Add("empty.bin", "");
        Add("bytes.bin", std::string("MZ\x90\0\3\0\0\0PE\0\0", 13) + std::string(300, '\xff'));
        names.push_back(scratch.File("missing.bin"));
        std::filesystem::create_directories(scratch.File("folder"));
        names.push_back(scratch.File("folder"));
        names.push_back(scratch.File("*.ini"));
    }
    void Add(const std::string& name, const std::string& bytes) {
        names.push_back(scratch.File(name));
        WriteFile(names.back(), bytes);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Fixtures fixtures;
    if (size == 0) return 0;
    const std::string& file = fixtures.names[data[0] % fixtures.names.size()];
    std::string list(reinterpret_cast<const char*>(data + 1), size - 1);
    list = list.substr(0, list.find('\0'));

    const ondrel_result first = AdvancedCheck(file.c_str(), list.c_str());
    Require(first == 0 || first == 1);
    // The fixtures do not change, so neither does the answer (the digest
    // caches answer the second time what the file gave the first).
    Require(AdvancedCheck(file.c_str(), list.c_str()) == first);
    // Once the result is false, only FLAGIFNOFILE right after a thrown rule
    // brings it back: unknown entries appended to a failing list leave it
    // failing. (Without quotes, so that the appended text starts new entries.)
    if (first == 0 && list.find('"') == std::string::npos)
        Require(AdvancedCheck(file.c_str(), (list + ",NO SUCH KEYWORD=").c_str()) == 0);
    return 0;
}
