// Writes the fuzz corpus of small PE images made with the tests' writer;
// with a second folder, these images there too and those that the
// command's reading of images (fuzz_tool_image) starts from besides: names
// the rules cannot take, a name of no characters, shared resource
// directories.
// Usage: pe_corpus FOLDER [TOOL-IMAGE-FOLDER]
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/pe_writer.h"

using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::PeResource;

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: pe_corpus FOLDER [TOOL-IMAGE-FOLDER]\n");
        return 2;
    }
    std::vector<std::string> folders(argv + 1, argv + argc);
    auto write = [&](const std::string& name, const std::string& bytes) {
        for (const std::string& folder : folders) std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
    };
    PeImage plain;
    plain.sections = {{"CODE", "abcdefgh"}, {"DATA", "0123456789"}};
    write("sections.dll", plain.Bytes());
    plain.pe32plus = true;
    write("sections64.dll", plain.Bytes());
    write("empty.dll", PeImage{}.Bytes());

    PeImage res;
    res.sections = {{"CODE", "x"}};
    res.resources = {{PeKey::Id(14), PeKey::Name(u"MAINICON"), 0x409, "icon group"},
                     {PeKey::Id(2), PeKey::Id(100), 0x409, "bitmap"},
                     {PeKey::Id(2), PeKey::Id(100), 0x407, "bitmap de"},
                     {PeKey::Id(10), PeKey::Id(1), 0, ""},
                     {PeKey::Name(u"CUSTOM"), PeKey::Name(u"THING"), 0x409, "thing"}};
    write("resources.dll", res.Bytes());
    res.pe32plus = true;
    res.sortResources = false;
    write("resources64.dll", res.Bytes());
    if (argc == 2) return 0;

    folders.erase(folders.begin());
    PeImage odd;
    odd.sections = {{".text", "code"}, {"a-b", "dash"}, {"", "no name"}, {".text", "later"}, {"EMPTY", ""}};
    odd.resources = {{PeKey::Id(14), PeKey::Name(u"lower"), 0x409, "icon group"},
                     {PeKey::Id(16), PeKey::Id(1), 0x409, "version"},
                     {PeKey::Name(u""), PeKey::Name(u""), 0, "no name"},
                     {PeKey::Name(u"RT_ICON"), PeKey::Name(u"12"), 0, "named like numbers"},
                     {PeKey::Name(u"A|B"), PeKey::Name(u"\u20AC\u0100"), 0x407, "bar and no code page"}};
    write("odd_names.dll", odd.Bytes());
    write("shared_ids.dll", ondrel::testing::HostileImage(6, 5, {}, 2));
    write("shared_name.dll", ondrel::testing::HostileImage(3, 3, u"SHARED", 1));
    return 0;
}
