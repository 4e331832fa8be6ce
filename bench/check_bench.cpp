// End to end on one file in the page cache: AdvancedCheck with one "MD5" rule
// against `openssl dgst -md5` and `md5sum`, and with one "CRC32" rule against
// a zlib crc32 loop reading the file. Usage: check_bench FILE [RUNS]
// The CRC pair is also given as medians over its turns (at least 7), with the
// median of the ratios of the two runs of each turn. Then the floor every
// reader pays (reading alone) and each digest over memory, and the bounds they
// set on the ratios for a reader that hashes on the thread that reads.
// check_bench --zlib-loop FILE prints the zlib loop's value of FILE and
// exits: the peer for timing whole processes against `ondrel-check`.
// Each MD5 run uses a name of its own ("./" prefixes), so the digest cache
// never answers for the file.
#include <cctype>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <algorithm>
#include <utility>
#include <vector>

#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "checksums/md5.h"
#include "bench/timing.h"
#include "ondrel.h"
#include "platform/reader.h"

namespace {

std::uint32_t ZlibCrcOfFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    std::vector<unsigned char> buffer(128 * 1024);
    uLong crc = crc32(0L, Z_NULL, 0);
    ssize_t got;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) crc = crc32(crc, buffer.data(), static_cast<uInt>(got));
    close(fd);
    return static_cast<std::uint32_t>(crc);
}

// Reads the whole file through the library's reader and computes nothing:
// the cost of copying the file out of the page cache, which every program
// here pays on top of its digest. The bytes delivered.
std::uint64_t ReadAlone(const std::string& path) {
    namespace platform = ondrel::platform;
    platform::Result<platform::FileReader, platform::OpenFailure> reader = platform::FileReader::Open(path, platform::Share::Read);
    std::uint64_t total = 0;
    if (reader) reader->ReadRange(0, platform::FileReader::kToEnd, [&](const unsigned char*, std::size_t n) { total += n; });
    return total;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Seconds(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--zlib-loop") {
        std::printf("%s\n", ondrel::Crc32ToHex(ZlibCrcOfFile(argv[2])).c_str());
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: check_bench FILE [RUNS]\n");
        return 2;
    }
    const std::string file = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string dir = file.substr(0, file.rfind('/') + 1);
    const std::string base = file.substr(file.rfind('/') + 1);

    // The expected values, from the peers.
    const std::uint32_t zlibValue = ZlibCrcOfFile(file);
    const std::string crcList = "CRC32=" + ondrel::Crc32ToHex(zlibValue);
    std::string opensslHex;
    {
        std::string command = "openssl dgst -md5 -r '" + file + "'";
        FILE* pipe = popen(command.c_str(), "r");
        char line[256] = {};
        if (pipe && std::fgets(line, sizeof line, pipe)) opensslHex.assign(line, 32);
        if (pipe) pclose(pipe);
    }
    std::string md5Text = opensslHex;
    for (char& c : md5Text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string md5List = "MD5=" + md5Text;

    bool allHeld = true;
    const std::string openssl = "openssl dgst -md5 '" + file + "' >/dev/null";
    const std::string md5sum = "md5sum '" + file + "' >/dev/null";
    const auto [md5Ours, md5Openssl, md5Md5sum] = bench::BestInTurns(
        runs,
        [&](int run) {
            std::string name = dir;
            for (int i = 0; i <= run; ++i) name += "./";
            name += base;
            allHeld &= AdvancedCheck(name.c_str(), md5List.c_str()) == 1;
        },
        [&](int) { allHeld &= std::system(openssl.c_str()) == 0; },
        [&](int) { allHeld &= std::system(md5sum.c_str()) == 0; });

    // Ours, then the zlib loop, in turns.
    const int turns = std::max(runs, 7);
    std::vector<double> ours, zlib, ratios;
    for (int run = 0; run < turns; ++run) {
        ours.push_back(Seconds([&] { allHeld &= AdvancedCheck(file.c_str(), crcList.c_str()) == 1; }));
        zlib.push_back(Seconds([&] { allHeld &= ZlibCrcOfFile(file) == zlibValue; }));
        ratios.push_back(zlib.back() / ours.back());
    }
    // What reading alone costs, and each digest over one chunk of the
    // reader's size fed again and again for as many bytes as the file has:
    // the chunk stays in the processor's cache, as each chunk the reader has
    // just copied does. These bound the ratios below.
    const std::uint64_t fileSize = std::filesystem::file_size(file);
    const double readAlone = bench::Best(turns, [&] { allHeld &= ReadAlone(file) == fileSize; });
    std::vector<unsigned char> block(ondrel::platform::FileReader::kChunk, 0x5a);
    const std::uint64_t repeats = std::max<std::uint64_t>(1, fileSize / block.size());
    const double scale = static_cast<double>(fileSize) / static_cast<double>(repeats * block.size());
    const double core = scale * bench::Best(runs, [&] {
        ondrel::Md5Stream stream;
        for (std::uint64_t i = 0; i < repeats; ++i) stream.Update(block.data(), block.size());
        (void)ondrel::DigestText(stream.Finish());
    });
    std::uint32_t crcSink = 0;
    const double crcCore = scale * bench::Best(turns, [&] {
        for (std::uint64_t i = 0; i < repeats; ++i) crcSink = ondrel::Crc32(crcSink, block.data(), block.size());
    });
    const double crcOurs = *std::min_element(ours.begin(), ours.end());
    const double crcZlib = *std::min_element(zlib.begin(), zlib.end());

    const double mib = static_cast<double>(fileSize) / (1 << 20);
    std::printf("file %.0f MiB in the page cache, best of %d runs each, in turns\n", mib, runs);
    std::printf("MD5 rule    AdvancedCheck %7.3f s   openssl dgst -md5 %7.3f s   speed ratio ours/openssl %.3f\n",
                md5Ours, md5Openssl, md5Openssl / md5Ours);
    std::printf("MD5 rule    AdvancedCheck %7.3f s   md5sum            %7.3f s   speed ratio ours/md5sum  %.3f\n",
                md5Ours, md5Md5sum, md5Md5sum / md5Ours);
    std::printf("CRC32 rule  AdvancedCheck %7.3f s   zlib crc32 loop   %7.3f s   speed ratio ours/zlib    %.3f\n", crcOurs,
                crcZlib, crcZlib / crcOurs);
    std::printf("CRC32 rule  medians of %zu turns: AdvancedCheck %7.3f s   zlib crc32 loop %7.3f s   median of the "
                "turns' speed ratios %.3f\n",
                ours.size(), Median(ours), Median(zlib), Median(ratios));
    std::printf("reading alone, the library's reader and no digest (best of %d) %7.3f s; over memory, scaled to the "
                "file: MD5 %7.3f s, CRC-32 %7.3f s (%08x)\n",
                turns, readAlone, core, crcCore, static_cast<unsigned>(crcSink));
    std::printf("bounds for a reader that hashes on the thread that reads (reading alone + digest over memory): "
                "MD5 rule %7.3f s, at most %.3f times openssl and %.3f times md5sum; CRC32 rule %7.3f s, at most "
                "%.2f times the zlib loop\n",
                readAlone + core, md5Openssl / (readAlone + core), md5Md5sum / (readAlone + core), readAlone + crcCore,
                crcZlib / (readAlone + crcCore));
    std::printf("%s\n", allHeld ? "every check held" : "A CHECK DID NOT HOLD");
    return allHeld ? 0 : 1;
}
