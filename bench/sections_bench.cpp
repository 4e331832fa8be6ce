// "SECMD5" against "MD5" over the same number of bytes: a 200 MiB image whose
// four sections hold 200 MiB with gaps between them that are not read, and a
// plain file of the same 200 MiB. Prints the best of five timings of each
// and the speed ratio (SECMD5 speed / MD5 speed).
// Usage: sections_bench [MiB]
//        sections_bench --headers FILE   writes the headers of an image with two
//        sections of 1 GiB each (from 0x400 and from 0x40000400) over the start of
//        FILE, which keeps its size (for the memory figures of bench/run.sh).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "checks/engine.h"
#include "checks/rules.h"
#include "checks/section_rules.h"
#include "checksums/md5.h"
#include "tests/support/bytes.h"
#include "tests/support/digests.h"

namespace {

using ondrel::testing::Put32;

// Headers of a PE32 image with the given sections (pointer, size).
std::string Headers(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& sections) {
    std::string b(0x400, '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, 64);
    b.replace(64, 4, std::string("PE\0\0", 4));
    b[64 + 6] = static_cast<char>(sections.size());
    b[64 + 20] = static_cast<char>(224);
    b[88] = 0x0B;
    b[89] = 0x01;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        std::size_t h = 64 + 24 + 224 + 40 * i;
        b.replace(h, 5, ".sect");
        Put32(b, h + 16, sections[i].second);
        Put32(b, h + 20, sections[i].first);
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--headers") {
        std::fstream out(argv[2], std::ios::binary | std::ios::in | std::ios::out);
        out << Headers({{0x400, 0x40000000}, {0x40000400, 0x40000000}});
        return out ? 0 : 1;
    }
    const std::uint32_t mib = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 200;
    const std::uint32_t total = mib << 20, quarter = total / 4, gap = 1 << 20;
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "ondrel-sections-bench";
    fs::create_directories(dir);
    const std::string image = (dir / "image.dll").string(), plain = (dir / "plain.bin").string();
    {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> sections;
        std::uint32_t at = 0x400;
        for (int i = 0; i < 4; ++i, at += quarter + gap) sections.emplace_back(at, quarter);
        std::ofstream out(image, std::ios::binary);
        out << Headers(sections);
        std::string chunk(gap, '\0');
        for (std::uint32_t i = 0; i < gap; ++i) chunk[i] = static_cast<char>(i * 2654435761u >> 24);
        std::ofstream other(plain, std::ios::binary);
        for (int s = 0; s < 4; ++s) {
            for (std::uint32_t done = 0; done < quarter; done += gap) {
                out.write(chunk.data(), gap);
                other.write(chunk.data(), gap);
            }
            out.write(chunk.data(), gap);  // a gap that no section covers
        }
    }
    ondrel::RuleHandler md5Rule = nullptr;
    for (const ondrel::Keyword& k : ondrel::LibraryKeywords())
        if (k.name == "MD5") md5Rule = k.handler;
    // Without caches, so that every run reads the file.
    auto md5 = [&](int) {
        const std::string name = dir.string() + "/plain.bin";
        ondrel::RuleTrace trace;
        md5Rule(ondrel::RuleContext{name, nullptr}, "", trace);
        if (trace.text == ondrel::testing::DigestOfBytes("", 0)) std::fprintf(stderr, "the MD5 rule did not read the file\n");
    };
    // Once each untimed, so that both files stand in the page cache and
    // their writing back is over; then in turns, as the same cache serves both.
    ondrel::AllSectionsDigest(image);
    md5(20);  // a name the timed runs do not use
    std::system("sync");
    // In turns, as the same page cache serves both.
    auto [secmd5, whole] = bench::BestInTurns(5, [&] { ondrel::AllSectionsDigest(image); }, md5);
    std::printf("section bytes: %u MiB in four sections, image %u MiB\n", mib, mib + 4);
    std::printf("SECMD5: %.3f s (%.0f MiB/s)\n", secmd5, mib / secmd5);
    std::printf("MD5 rule: %.3f s (%.0f MiB/s)\n", whole, mib / whole);
    std::printf("speed ratio SECMD5 / MD5: %.2f\n", whole / secmd5);
    fs::remove_all(dir);
    return 0;
}
