// The "MD5" rule against a digest cache of 1,000 and of 100,000 other names:
// per call on a tiny file already cached (its identity asked of the system
// and compared with the entry's), and per call on a tiny file not yet
// cached (digested and stored); the identity query alone beside them. Then
// the memory that one cached name takes.
// Usage: cache_bench [RUNS]
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/timing.h"
#include "checks/caches.h"
#include "platform/file.h"
#include "ondrel.h"

namespace {

// A digest text of the cache's form, different for every index.
std::string FakeDigest(std::size_t i) {
    char text[40];
    std::snprintf(text, sizeof text, "%032zX", i * 2654435761u);
    return text;
}

std::string OtherName(const std::string& dir, std::size_t i) {
    char text[32];
    std::snprintf(text, sizeof text, "other-%06zu.bin", i);
    return dir + text;
}

ondrel::platform::FileIdentity FakeIdentity(std::size_t i) {
    ondrel::platform::FileIdentity id;
    id.index = i;
    id.size = 3;
    return id;
}

// A fresh file cache holding count other names.
void FillCache(const std::string& dir, std::size_t count) {
    ondrel::ResetCachesForTests();
    ondrel::CreateCaches();
    ondrel::DigestCache& cache = ondrel::ProcessCaches().files;
    for (std::size_t i = 0; i < count; ++i) cache.Store(OtherName(dir, i), FakeIdentity(i), FakeDigest(i));
}

struct PerCall {
    double cached = 0;  // seconds per call
    double fresh = 0;
    double identity = 0;  // the identity query alone
};

constexpr const char* kTinyMd5 = "MD5=900150983CD24FB0D6963F7D28E17F72";  // "abc"

PerCall Measure(const std::string& dir, const std::vector<std::string>& freshFiles, std::size_t others, int runs) {
    PerCall result;
    const std::string cachedFile = dir + "cached.bin";
    // The file's own entry comes after all the others.
    FillCache(dir, others);
    if (AdvancedCheck(cachedFile.c_str(), kTinyMd5) != 1) std::fprintf(stderr, "cached check failed\n");
    const int cachedCalls = 2000;
    result.cached = bench::Best(runs, [&] {
        for (int i = 0; i < cachedCalls; ++i) AdvancedCheck(cachedFile.c_str(), kTinyMd5);
    }) / cachedCalls;
    result.identity = bench::Best(runs, [&] {
        for (int i = 0; i < cachedCalls; ++i) (void)ondrel::platform::IdentityOf(cachedFile);
    }) / cachedCalls;
    // Each run starts from the same cache and checks every fresh file once.
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        FillCache(dir, others);
        best = std::min(best, bench::Best(1, [&] {
            for (const std::string& file : freshFiles) AdvancedCheck(file.c_str(), kTinyMd5);
        }));
    }
    result.fresh = best / static_cast<double>(freshFiles.size());
    return result;
}

// Bytes taken from the heap per appended name, the cache's growth slack
// included (malloc's own overhead too).
double BytesPerName(const std::string& dir, std::size_t count) {
    ondrel::ResetCachesForTests();
    ondrel::CreateCaches();
    const std::size_t before = mallinfo2().uordblks;
    ondrel::DigestCache& cache = ondrel::ProcessCaches().files;
    for (std::size_t i = 0; i < count; ++i) cache.Store(OtherName(dir, i), FakeIdentity(i), FakeDigest(i));
    const std::size_t after = mallinfo2().uordblks;
    return static_cast<double>(after - before) / static_cast<double>(count);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::string pattern = (std::filesystem::temp_directory_path() / "ondrel-cache-bench.XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    const std::filesystem::path root = pattern;
    const std::string dir = pattern + "/";
    // Files written an hour ago, then left two seconds: the caches keep no
    // digest of a file modified or changed within the last two seconds, and
    // setting the time back is a change.
    const auto anHourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    std::ofstream(dir + "cached.bin", std::ios::binary) << "abc";
    std::filesystem::last_write_time(dir + "cached.bin", anHourAgo);
    std::vector<std::string> freshFiles;
    for (int i = 0; i < 200; ++i) {
        freshFiles.push_back(dir + "fresh-" + std::to_string(i) + ".bin");
        std::ofstream(freshFiles.back(), std::ios::binary) << "abc";
        std::filesystem::last_write_time(freshFiles.back(), anHourAgo);
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(2100));

    const PerCall small = Measure(dir, freshFiles, 1000, runs);
    const PerCall large = Measure(dir, freshFiles, 100000, runs);
    std::printf("%-34s %12s %12s %8s\n", "MD5 on a tiny file, per call", "1,000 names", "100,000", "ratio");
    std::printf("%-34s %9.2f us %9.2f us %8.2f\n", "  cached", small.cached * 1e6, large.cached * 1e6,
                large.cached / small.cached);
    std::printf("%-34s %9.2f us %9.2f us %8.2f\n", "  new (digested and stored)", small.fresh * 1e6,
                large.fresh * 1e6, large.fresh / small.fresh);
    std::printf("%-34s %9.2f us %9.2f us\n", "  of which the identity query", small.identity * 1e6,
                large.identity * 1e6);
    // The benchmark's names, and short names in a short folder.
    for (const std::string& folder : {dir, std::string("C:\\app\\")})
        std::printf("memory per cached name, 100,000 names of %zu characters, 32-character digests: %.1f bytes\n",
                    OtherName(folder, 0).size(), BytesPerName(folder, 100000));
    ondrel::ResetCachesForTests();
    std::filesystem::remove_all(root);
    return 0;
}
