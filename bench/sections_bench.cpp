// "SECMD5" against "MD5" over the same number of bytes: a 200 MiB image whose
// four sections hold 200 MiB with gaps between them that are not read, and a
// plain file of the same 200 MiB. Prints the best of five timings of each
// and the speed ratio (SECMD5 speed / MD5 speed).
// Usage: sections_bench [MiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "checks/engine.h"
#include "checks/section_rules.h"
#include "checksums/md5.h"
#include "platform/file.h"

namespace {

void Put32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

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

template <typename F>
double BestSeconds(F f) {
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        auto start = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// The whole-file digest as a file rule makes it: sequential reads, one stream.
std::string WholeFileDigest(const std::string& name) {
    ondrel::platform::File file = ondrel::platform::File::Open(name, ondrel::platform::Share::Read, true);
    std::vector<unsigned char> buffer(64 * 1024);
    ondrel::Md5Stream digest;
    for (std::int64_t got; (got = file.Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()))) > 0;)
        digest.Update(buffer.data(), static_cast<std::size_t>(got));
    return digest.FinishText();
}

}  // namespace

int main(int argc, char** argv) {
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
    // The "MD5" rule itself when the library has it, else the same whole-file digest.
    ondrel::RuleHandler md5Rule = nullptr;
    for (const ondrel::Keyword& k : ondrel::LibraryKeywords())
        if (k.name == "MD5") md5Rule = k.handler;
    int spelling = 0;
    auto md5 = [&] {
        if (md5Rule) {
            // A new spelling of the name each time, so that the cache does not answer.
            std::string name = (dir / std::string(static_cast<std::size_t>(++spelling), '.') / "plain.bin").string();
            ondrel::RuleTrace trace;
            md5Rule(name, "", trace);
        } else {
            WholeFileDigest(plain);
        }
    };
    const double secmd5 = BestSeconds([&] { ondrel::AllSectionsDigest(image); });
    const double whole = BestSeconds(md5);
    std::printf("section bytes: %u MiB in four sections, image %u MiB\n", mib, mib + 4);
    std::printf("SECMD5: %.3f s (%.0f MiB/s)\n", secmd5, mib / secmd5);
    std::printf("%s: %.3f s (%.0f MiB/s)\n", md5Rule ? "MD5 rule" : "whole-file MD5 (no MD5 rule in this build)", whole,
                mib / whole);
    std::printf("speed ratio SECMD5 / MD5: %.2f\n", whole / secmd5);
    fs::remove_all(dir);
    return 0;
}
