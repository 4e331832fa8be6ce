// Writes the fuzz corpus of small PE images made with the tests' writer.
// Usage: pe_corpus FOLDER
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/pe_writer.h"

using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::PeResource;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pe_corpus FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
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
    return 0;
}
