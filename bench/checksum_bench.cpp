// MD5 and CRC-32 over one 256 MiB buffer, side by side with OpenSSL's MD5 and
// zlib's crc32 in the same run, and each MD5 core this machine runs against
// OpenSSL. Prints throughputs and ratios.
#include <openssl/evp.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/timing.h"
#include "checksums/crc32.h"
#include "checksums/md5.h"

namespace {

const char* CoreName(ondrel::Md5Core core) {
    switch (core) {
        case ondrel::Md5Core::Portable: return "portable";
        case ondrel::Md5Core::Bmi: return "bmi";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256) << 20;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<unsigned char> data(size);
    std::mt19937_64 random(1);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        std::uint64_t v = random();
        std::memcpy(&data[i], &v, 8);
    }
    const double mib = static_cast<double>(size) / (1 << 20);

    unsigned char ours[16], theirs[16];
    // Every MD5 core this machine runs, each against OpenSSL in turns.
    const ondrel::Md5Core fastest = ondrel::Md5SelectedCore();
    bool coresSame = true;
    for (ondrel::Md5Core core : {ondrel::Md5Core::Portable, ondrel::Md5Core::Bmi}) {
        if (!ondrel::Md5SelectCore(core)) {
            std::printf("md5 core %-8s  not run by this machine\n", CoreName(core));
            continue;
        }
        unsigned char coreDigest[16], opensslDigest[16];
        auto [coreTime, opensslTime] = bench::BestInTurns(runs, [&] {
            ondrel::Md5Context context;
            ondrel::Md5Init(context);
            ondrel::Md5Update(context, data.data(), size);
            ondrel::Md5Digest digest;
            ondrel::Md5Final(context, digest);
            std::memcpy(coreDigest, digest.data(), 16);
        }, [&] {
            unsigned int length = 0;
            EVP_Digest(data.data(), size, opensslDigest, &length, EVP_md5(), nullptr);
        });
        const bool same = std::memcmp(coreDigest, opensslDigest, 16) == 0;
        coresSame &= same;
        std::printf("md5 core %-8s %8.1f MiB/s   openssl %8.1f MiB/s   ratio core/openssl %.3f   %s%s\n", CoreName(core),
                    mib / coreTime, mib / opensslTime, opensslTime / coreTime, same ? "same digest" : "DIGESTS DIFFER",
                    core == fastest ? "   (the default here)" : "");
    }
    ondrel::Md5SelectCore(fastest);

    auto [md5Ours, md5Openssl] = bench::BestInTurns(runs, [&] {
        ondrel::Md5Context context;
        ondrel::Md5Init(context);
        ondrel::Md5Update(context, data.data(), size);
        ondrel::Md5Digest digest;
        ondrel::Md5Final(context, digest);
        std::memcpy(ours, digest.data(), 16);
    }, [&] {
        unsigned int length = 0;
        EVP_Digest(data.data(), size, theirs, &length, EVP_md5(), nullptr);
    });
    bool md5Same = std::memcmp(ours, theirs, 16) == 0 && coresSame;

    std::uint32_t crcOurs = 0, crcZlib = 0;
    double crc32Ours = 0, crc32Zlib = 0;
    std::tie(crc32Ours, crc32Zlib) = bench::BestInTurns(runs, [&] { crcOurs = ondrel::Crc32(0, data.data(), size); }, [&] {
        uLong c = crc32(0L, Z_NULL, 0);
        for (std::size_t at = 0; at < size; at += 1u << 30) {
            uInt piece = static_cast<uInt>(std::min<std::size_t>(size - at, 1u << 30));
            c = crc32(c, data.data() + at, piece);
        }
        crcZlib = static_cast<std::uint32_t>(c);
    });
    // Each way of computing alone over the same buffer, and the chosen one
    // over the buffer shifted by a byte (loads across cache lines).
    namespace detail = ondrel::crc32_detail;
    bool methodsSame = true;
    std::vector<std::pair<detail::Method, double>> methods;
    for (detail::Method method : detail::kMethods) {
        if (!detail::Available(method)) continue;
        methods.emplace_back(method, bench::Best(runs, [&] {
            methodsSame &= ~detail::UpdateBy(method, 0xFFFFFFFFu, data.data(), size) == crcZlib;
        }));
    }
    const std::uint32_t shiftedZlib =
        static_cast<std::uint32_t>(crc32(0L, data.data() + 1, static_cast<uInt>(std::min<std::size_t>(size - 1, 1u << 30))));
    double shifted = bench::Best(runs, [&] { methodsSame &= ondrel::Crc32(0, data.data() + 1, size - 1) == shiftedZlib; });

    std::printf("buffer %.0f MiB, best of %d runs each, in turns\n", mib, runs);
    std::printf("md5    ours %8.1f MiB/s   openssl %8.1f MiB/s   ratio ours/openssl %.3f   %s\n", mib / md5Ours,
                mib / md5Openssl, md5Openssl / md5Ours, md5Same ? "same digest" : "DIGESTS DIFFER");
    std::printf("crc32  ours %8.1f MiB/s   zlib    %8.1f MiB/s   ratio ours/zlib    %.3f   %s   (chosen: %s)\n",
                mib / crc32Ours, mib / crc32Zlib, crc32Zlib / crc32Ours, crcOurs == crcZlib ? "same value" : "VALUES DIFFER",
                detail::MethodName(detail::Chosen()));
    for (const auto& [method, seconds] : methods)
        std::printf("crc32  %-14s %8.1f MiB/s   ratio to zlib %.3f\n", detail::MethodName(method), mib / seconds,
                    crc32Zlib / seconds);
    std::printf("crc32  chosen, buffer + 1 byte %8.1f MiB/s\n", mib / shifted);
    std::printf("%s\n", methodsSame ? "every method gave zlib's value" : "A METHOD DIFFERS FROM ZLIB");
    return md5Same && crcOurs == crcZlib && methodsSame ? 0 : 1;
}
