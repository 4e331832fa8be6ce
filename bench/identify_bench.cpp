// Catalogues: identify against reading and digesting the files once, and
// the bytes a host reads for the lists make --against writes.
//
// 1. identify: 1,000 files in 100 families of 10 versions (one size per
//    family, 32 KiB to 512 KiB), a catalogue of 10,000 entries: the 1,000
//    lists make writes for them (FILESIZE, CRC32, MD5), 4,000 versions not
//    on disk of the families' sizes, 4,900 of sizes no file has, and 100
//    without a size rule (SIZEMD5 of the first 64 bytes, then MD5). Timed
//    in turns on one thread, files in the page cache: the catalogue parsed
//    and indexed and every file matched, against the "MD5" of every file
//    read once through the library's reader. Also, for a few files, every
//    entry evaluated by the library's engine alone (no index, nothing kept
//    between lists), as a host without identify would.
// 2. make --against: 100 files of 4 MiB, each one byte apart from a common
//    base at an offset of its own; for each, the list that tells it from
//    the 99 others, the bytes a host reads for it, and the time a host takes
//    to check all 100 files with those lists against lists of "MD5".
// Usage: identify_bench [runs] [make-files]     (default 5, 100)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "checks/engine.h"
#include "checks/file_digests.h"
#include "checks/rules.h"
#include "tools/catalog/catalog.h"
#include "tools/rules/make_list.h"
#include "tools/catalog/separate.h"

namespace {

namespace fs = std::filesystem;
using namespace ondrel;
using namespace ondrel::tool;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A text and a number (built by appending: GCC 12 warns wrongly of
// "text" + std::string).
std::string Numbered(const char* text, std::uint64_t n) { return std::string(text).append(std::to_string(n)); }

class Folder {
public:
    Folder() {
        std::random_device device;
        path_ = fs::temp_directory_path() / Numbered("ondrel-identify-", device());
        fs::create_directories(path_);
    }
    ~Folder() {
        std::error_code e;
        fs::remove_all(path_, e);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    std::string Write(const std::string& name, const std::string& bytes) const {
        const std::string file = (path_ / name).string();
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

private:
    fs::path path_;
};

std::string RandomBytes(std::mt19937_64& rng, std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k) bytes[i + k] = static_cast<char>((v >> (8 * k)) & 0xFF);
    }
    return bytes;
}

std::string RandomHex(std::mt19937_64& rng, std::size_t digits) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < digits; ++i) text += kHex[rng() & 15];
    return text;
}

void IdentifyTarget(int runs) {
    std::mt19937_64 rng(20240601);  // the generator's start value: the same files every run
    Folder folder;
    constexpr int kFamilies = 100, kVersions = 10;
    std::vector<std::string> files;
    std::vector<std::uint64_t> sizes;
    std::uint64_t total = 0;
    for (int f = 0; f < kFamilies; ++f) {
        const std::size_t size = 32768 + rng() % (512 * 1024 - 32768);
        sizes.push_back(size);
        std::string bytes = RandomBytes(rng, size);
        for (int v = 0; v < kVersions; ++v) {
            bytes[rng() % size] ^= 0x5A;  // each version a byte or so from the one before
            files.push_back(folder.Write(Numbered("f", static_cast<std::uint64_t>(f * kVersions + v)), bytes));
            total += size;
        }
    }
    const RuleChoice rules = *ParseRuleSets({"default"});
    std::string text = "# 10,000 known versions\n";
    for (std::size_t i = 0; i < files.size(); ++i)
        text += CatalogueLine(Numbered("known ", i), MakeCheckList(files[i], rules).checkList) + "\n";
    for (int i = 0; i < 4000; ++i)
        text += CatalogueLine(Numbered("absent ", static_cast<std::uint64_t>(i)), Numbered("FILESIZE=", sizes[rng() % kFamilies]) +
                                                                 ",CRC32=" + RandomHex(rng, 8) + ",MD5=" + RandomHex(rng, 32)) + "\n";
    for (int i = 0; i < 4900; ++i)
        text += CatalogueLine(Numbered("other size ", static_cast<std::uint64_t>(i)), Numbered("FILESIZE=", 600000u + static_cast<std::uint64_t>(i)) + ",CRC32=" +
                                                                     RandomHex(rng, 8) + ",MD5=" + RandomHex(rng, 32)) + "\n";
    for (int i = 0; i < 100; ++i)
        text += CatalogueLine(Numbered("no size ", static_cast<std::uint64_t>(i)),
                              "SIZEMD5=0|63|" + RandomHex(rng, 32) + ",MD5=" + RandomHex(rng, 32)) + "\n";

    std::printf("%zu files, %.1f MiB, a catalogue of 10,000 entries (%.1f KiB)\n", files.size(),
                static_cast<double>(total) / 1048576, static_cast<double>(text.size()) / 1024);
    std::vector<double> once, identify, ratios;
    std::size_t exact = 0, candidates = 0;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        std::size_t digested = 0;
        for (const std::string& f : files) digested += Md5OfFile(f).text.size();
        once.push_back(Seconds(start));

        start = Clock::now();
        const Catalogue catalogue = ParseCatalogue(text);
        const CatalogueIndex index(catalogue);
        exact = candidates = 0;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const FileMatch m = MatchFile(files[i], catalogue, index);
            exact += m.held == std::vector<std::size_t>{i};
            candidates += m.candidates;
        }
        identify.push_back(Seconds(start));
        ratios.push_back(identify.back() / once.back());
        if (digested != 32 * files.size()) std::abort();
    }
    if (exact != files.size()) {
        std::printf("identify got %zu of %zu files right\n", exact, files.size());
        std::exit(1);
    }
    std::printf("each file identified as exactly its own entry; %.1f candidate entries per file (of 10,000)\n",
                static_cast<double>(candidates) / static_cast<double>(files.size()));
    std::printf("read and MD5 of every file once:  %.3f s (median of %d)\n", Median(once), runs);
    std::printf("identify (parse, index, match):   %.3f s (median of %d)\n", Median(identify), runs);
    std::printf("identify / reading once:          %.2f (median of the %d runs' ratios; the target is at most 2)\n",
                Median(ratios), runs);

    // Without the index and without keeping what a rule computed: every
    // entry of the catalogue through the engine, for a few files.
    const Catalogue catalogue = ParseCatalogue(text);
    constexpr std::size_t kFew = 20;
    const auto start = Clock::now();
    std::size_t held = 0;
    for (std::size_t i = 0; i < kFew; ++i)
        for (const CatalogueEntry& e : catalogue.entries)
            held += Evaluate(files[i * 50].c_str(), e.checkList.c_str(), LibraryKeywords(), nullptr);
    const double naive = Seconds(start) / kFew;
    std::printf("every entry through the engine alone: %.1f ms a file (%zu files), %.0f s for all %zu files; "
                "identify takes %.2f ms a file\n\n",
                naive * 1000, kFew, naive * static_cast<double>(files.size()), files.size(),
                Median(identify) * 1000 / static_cast<double>(files.size()));
    if (held != kFew) std::abort();
}

void MakeAgainstFamily(int makes) {
    constexpr std::size_t kSize = 4 * 1024 * 1024, kFiles = 100;
    std::mt19937_64 rng(77);
    Folder folder;
    const std::string base = RandomBytes(rng, kSize);
    std::vector<std::string> files;
    for (std::size_t i = 0; i < kFiles; ++i) {
        std::string bytes = base;
        bytes[rng() % kSize] ^= 0x01;
        files.push_back(folder.Write(Numbered("v", i), bytes));
    }
    std::vector<double> times;
    std::vector<std::uint64_t> bytesRead;
    std::vector<std::string> lists;
    for (int i = 0; i < makes; ++i) {
        std::vector<std::string> others = files;
        others.erase(others.begin() + i);
        const auto start = Clock::now();
        const Separation s = Separate(files[i], others);
        times.push_back(Seconds(start));
        if (!s.problem.empty()) {
            std::printf("%s\n", s.problem.c_str());
            std::exit(1);
        }
        bytesRead.push_back(s.bytesRead);
        lists.push_back(s.checkList);
    }
    std::sort(bytesRead.begin(), bytesRead.end());
    std::printf("make --against: %d files of 4 MiB, each against the other %zu (one byte apart from a common base)\n",
                makes, kFiles - 1);
    std::printf("bytes a host reads per list: median %llu, largest %llu; \"MD5\" reads %zu\n",
                static_cast<unsigned long long>(bytesRead[bytesRead.size() / 2]),
                static_cast<unsigned long long>(bytesRead.back()), kSize);
    std::printf("making one list (reads the 100 files once, proves it on all): median %.3f s\n", Median(times));
    std::printf("e.g. %s\n", lists[0].c_str());

    // A host checking every file with its list, against "MD5" lists.
    std::vector<std::string> md5;
    for (int i = 0; i < makes; ++i) md5.push_back("FILESIZE=4194304,MD5=" + Md5OfFile(files[i]).text);
    std::vector<double> cheap, whole;
    for (int run = 0; run < 5; ++run) {
        auto start = Clock::now();
        std::size_t held = 0;
        for (int i = 0; i < makes; ++i) held += Evaluate(files[i].c_str(), lists[i].c_str(), LibraryKeywords(), nullptr);
        cheap.push_back(Seconds(start));
        start = Clock::now();
        for (int i = 0; i < makes; ++i) held += Evaluate(files[i].c_str(), md5[i].c_str(), LibraryKeywords(), nullptr);
        whole.push_back(Seconds(start));
        if (held != 2 * static_cast<std::size_t>(makes)) std::abort();
    }
    std::printf("a host checking the %d files: these lists %.4f s, \"MD5\" lists %.3f s (medians of 5, page cache)\n",
                makes, Median(cheap), Median(whole));
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const int makes = argc > 2 ? std::atoi(argv[2]) : 100;
    IdentifyTarget(std::max(1, runs));
    MakeAgainstFamily(std::clamp(makes, 1, 100));
    return 0;
}
