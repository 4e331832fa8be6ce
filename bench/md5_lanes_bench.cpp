// MD5 of many streams at once, over memory: each lane core at each
// interleave on 4 KiB and 64 KiB buffers, and the scheduler on three sets of
// streams fed in chunks as files would be, each against the one-stream MD5
// (ours and OpenSSL's) over the same bytes in the same run. Prints GB/s
// (10^9 bytes a second of the thread's processor time, so that other work
// on a shared machine does not count) and checks every digest.
//
// Usage: md5_lanes_bench [runs] [cores|streams]   (both parts by default)
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "checksums/md5.h"
#include "checksums/md5_lanes.h"
#include "checksums/md5_lanes_cores.h"

namespace bench {

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The best of runs timings, in seconds of the thread's processor time.
template <typename F>
double Best(int runs, F f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double start = ThreadSeconds();
        f();
        best = std::min(best, ThreadSeconds() - start);
    }
    return best;
}

// Two contenders in turns, the best of each.
template <typename F, typename G>
std::pair<double, double> BestInTurns(int runs, F f, G g) {
    double bestF = 1e30, bestG = 1e30;
    for (int i = 0; i < runs; ++i) {
        bestF = std::min(bestF, Best(1, f));
        bestG = std::min(bestG, Best(1, g));
    }
    return {bestF, bestG};
}

}  // namespace bench

namespace {

using ondrel::Md5Digest;
using ondrel::Md5LaneCore;
using ondrel::Md5LaneSetup;
using Buffers = std::vector<std::span<const unsigned char>>;

// Random bytes, from a fixed generator start value.
std::vector<unsigned char> RandomBytes(std::size_t size, std::uint64_t start) {
    std::vector<unsigned char> bytes(size + 8);
    std::mt19937_64 random(start);
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(&bytes[i], &v, 8);
    }
    bytes.resize(size);
    return bytes;
}

// Consecutive slices of an arena, of the given sizes.
Buffers Slices(const std::vector<unsigned char>& arena, const std::vector<std::size_t>& sizes, std::size_t gap = 0) {
    Buffers buffers;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        buffers.emplace_back(arena.data() + at, size);
        at += size + gap;
    }
    return buffers;
}

Md5Digest OurOneStream(std::span<const unsigned char> bytes) {
    ondrel::Md5Context context;
    ondrel::Md5Init(context);
    ondrel::Md5Update(context, bytes.data(), bytes.size());
    Md5Digest digest;
    ondrel::Md5Final(context, digest);
    return digest;
}

Md5Digest OpensslOneStream(std::span<const unsigned char> bytes) {
    Md5Digest digest;
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

// The streams in a given order, each in chunks of at most chunk bytes.
class ChunkedSource final : public ondrel::Md5StreamSource {
public:
    ChunkedSource(const Buffers& streams, const std::vector<std::size_t>& order, std::size_t chunk,
                  std::vector<Md5Digest>& digests)
        : streams_(streams), order_(order), chunk_(chunk), at_(streams.size(), 0), digests_(digests) {}
    bool NextStream(ondrel::Md5StreamId& id) override {
        if (next_ == order_.size()) return false;
        id = order_[next_++];
        return true;
    }
    ondrel::Md5Chunk NextChunk(ondrel::Md5StreamId id) override {
        const auto& stream = streams_[id];
        std::size_t& at = at_[id];
        const std::size_t size = std::min(chunk_, stream.size() - at);
        const ondrel::Md5Chunk chunk{stream.subspan(at, size)};
        at += size;
        return chunk;
    }
    void Finished(ondrel::Md5StreamId id, const Md5Digest& digest) override { digests_[id] = digest; }

private:
    const Buffers& streams_;
    const std::vector<std::size_t>& order_;
    std::size_t chunk_;
    std::vector<std::size_t> at_;
    std::vector<Md5Digest>& digests_;
    std::size_t next_ = 0;
};

// The setups compared: each core this machine runs at its own interleave.
std::vector<Md5LaneSetup> CoreSetups() {
    std::vector<Md5LaneSetup> setups;
    for (auto core = ondrel::kMd5LaneCores.rbegin(); core != ondrel::kMd5LaneCores.rend(); ++core)
        if (*core != Md5LaneCore::OneStream && ondrel::Md5LaneCoreRuns(*core)) setups.push_back(ondrel::Md5LaneSetupOf(*core));
    return setups;
}

bool g_allSame = true;

void Check(const std::vector<Md5Digest>& got, const std::vector<Md5Digest>& expected, const char* what) {
    if (got != expected) {
        std::printf("  DIGESTS DIFFER: %s\n", what);
        g_allSame = false;
    }
}

// The cores: the bare transform of each core and interleave (every lane a
// buffer of its own, whole blocks only), and whole digests through
// Md5Many, on count buffers of one size, placed gap bytes apart.
void CoresOn(std::size_t size, std::size_t count, std::size_t gap, int runs) {
    const std::size_t total = size * count;
    const std::vector<unsigned char> arena = RandomBytes(total + gap * count, size);
    const Buffers buffers = Slices(arena, std::vector<std::size_t>(count, size), gap);
    std::vector<Md5Digest> expected(count), got(count);
    const double bytes = static_cast<double>(total);

    const auto [ours, openssl] = bench::BestInTurns(runs, [&] {
        for (std::size_t i = 0; i < count; ++i) expected[i] = OurOneStream(buffers[i]);
    }, [&] {
        for (std::size_t i = 0; i < count; ++i) got[i] = OpensslOneStream(buffers[i]);
    });
    Check(got, expected, "openssl");
    std::printf("%zu buffers of %zu KiB (%.2f MiB), %zu bytes apart\n", count, size >> 10, bytes / (1 << 20), gap);
    std::printf("  one-stream ours     %6.2f GB/s   openssl %6.2f GB/s\n", bytes / ours / 1e9, bytes / openssl / 1e9);
    std::printf("  core     groups lanes   transform GB/s   digests GB/s   x ours\n");

    namespace detail = ondrel::md5_lanes_detail;
    auto work = std::make_unique<detail::LaneWork>();
    for (Md5LaneCore core : ondrel::kMd5LaneCores) {
        if (core == Md5LaneCore::OneStream || !ondrel::Md5LaneCoreRuns(core)) continue;
        const Md5LaneSetup best = ondrel::Md5LaneSetupOf(core);
        for (int groups = 1; groups <= ondrel::Md5LaneMaxInterleave(core); ++groups) {
            const Md5LaneSetup setup{core, groups, 2};
            const std::size_t lanes = static_cast<std::size_t>(ondrel::Md5LaneWidth(core) * groups);
            detail::LanesTransform transform = core == Md5LaneCore::Avx512 ? detail::Avx512Transform(groups)
                                               : core == Md5LaneCore::Avx2 ? detail::Avx2Transform(groups)
                                                                           : detail::Sse2Transform(groups);
            // Batches of as many buffers as lanes; a last batch that is short
            // transforms some buffers twice, which counts against the core.
            const double bare = bench::Best(runs, [&] {
                for (std::size_t first = 0; first < count; first += lanes) {
                    for (std::size_t i = 0; i < lanes; ++i)
                        work->block[i] = reinterpret_cast<std::uintptr_t>(buffers[std::min(first + i, count - 1)].data());
                    transform(*work, 0, size / 64);
                }
            });
            const double digests = bench::Best(runs, [&] { ondrel::Md5Many(buffers, got, setup); });
            Check(got, expected, ondrel::Md5LaneCoreName(core));
            std::printf("  %-8s %6d %5zu   %14.2f   %12.2f   %6.1f%s\n", ondrel::Md5LaneCoreName(core), groups, lanes,
                        bytes / bare / 1e9, bytes / digests / 1e9, ours / digests,
                        groups == best.interleave ? "   (its setting)" : "");
        }
    }
}

// The scheduler over a set of streams fed in chunks, against the
// one-stream MD5 over the same streams.
void Streams(const char* name, const std::vector<std::size_t>& sizes, bool longestFirst, int runs) {
    const std::size_t chunk = 256 << 10;
    const std::size_t total = std::accumulate(sizes.begin(), sizes.end(), std::size_t{0});
    const std::size_t gap = 64;
    const std::vector<unsigned char> arena = RandomBytes(total + gap * sizes.size(), sizes.size());
    const Buffers streams = Slices(arena, sizes, gap);
    std::vector<std::size_t> order(sizes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (longestFirst)
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return sizes[x] > sizes[y]; });
    std::vector<Md5Digest> expected(sizes.size()), got(sizes.size());
    const double bytes = static_cast<double>(total);

    const auto [ours, openssl] = bench::BestInTurns(runs, [&] {
        for (std::size_t i = 0; i < streams.size(); ++i) expected[i] = OurOneStream(streams[i]);
    }, [&] {
        for (std::size_t i = 0; i < streams.size(); ++i) got[i] = OpensslOneStream(streams[i]);
    });
    Check(got, expected, "openssl");
    std::printf("%s: %zu streams %zu bytes apart, %.1f MiB, chunks of %zu KiB%s\n", name, sizes.size(), gap,
                bytes / (1 << 20), chunk >> 10,
                longestFirst ? ", longest first" : ", in their own order");
    std::printf("  one-stream ours     %6.2f GB/s   openssl %6.2f GB/s\n", bytes / ours / 1e9, bytes / openssl / 1e9);
    for (const Md5LaneSetup& setup : CoreSetups()) {
        ondrel::Md5LanesReport report;
        const double lanes = bench::Best(runs, [&] {
            ChunkedSource source(streams, order, chunk, got);
            ondrel::Md5Lanes scheduler(setup);
            report = scheduler.Run(source);
        });
        Check(got, expected, ondrel::Md5LaneCoreName(setup.core));
        std::printf("  %-6s x%d %3d lanes %6.2f GB/s   x ours %5.1f   x openssl %5.1f   lanes busy %5.1f%%   "
                    "one-stream %4.1f%% of bytes   %llu transforms\n",
                    ondrel::Md5LaneCoreName(setup.core), setup.interleave, ondrel::Md5Lanes(setup).Lanes(),
                    bytes / lanes / 1e9, ours / lanes, openssl / lanes,
                    100.0 * static_cast<double>(report.laneBlocks) / static_cast<double>(std::max<std::uint64_t>(report.slotBlocks, 1)),
                    100.0 * static_cast<double>(report.oneStreamBytes) / bytes,
                    static_cast<unsigned long long>(report.transforms));
    }
}

// Sizes log-uniform from 1 byte to 4 MiB, from a fixed generator start value.
std::vector<std::size_t> MixedSizes(std::size_t count) {
    std::mt19937_64 random(2000);
    std::uniform_real_distribution<double> exponent(0.0, std::log(4.0 * (1 << 20)));
    std::vector<std::size_t> sizes(count);
    for (std::size_t& size : sizes) size = std::max<std::size_t>(1, static_cast<std::size_t>(std::exp(exponent(random))));
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string part = argc > 2 ? argv[2] : "";
    const Md5LaneSetup chosen = ondrel::Md5LaneChosen();
    std::printf("chosen here: %s x%d (%d lanes); best of %d runs each\n", ondrel::Md5LaneCoreName(chosen.core),
                chosen.interleave, ondrel::Md5Lanes(chosen).Lanes(), runs);
    if (part.empty() || part == "cores") {
        // In the caches, and from memory; buffers 64 bytes apart, so that
        // the lanes' blocks do not all fall on one offset in their pages.
        CoresOn(4 << 10, 192, 64, runs);
        CoresOn(4 << 10, 4096, 64, runs);
        CoresOn(64 << 10, 192, 64, runs);
        // The same offset in every page, lanes in step: what to avoid.
        CoresOn(4 << 10, 192, 0, runs);
    }
    if (part.empty() || part == "streams") {
        Streams("(a) 10,000 x 4 KiB", std::vector<std::size_t>(10000, 4 << 10), false, runs);
        Streams("(b) 16 x 64 MiB", std::vector<std::size_t>(16, 64 << 20), false, runs);
        const std::vector<std::size_t> mixed = MixedSizes(2000);
        Streams("(c) 2,000 log-uniform 1 B to 4 MiB", mixed, false, runs);
        Streams("(c) 2,000 log-uniform 1 B to 4 MiB", mixed, true, runs);
    }
    std::printf("%s\n", g_allSame ? "every digest the same as the one-stream MD5's" : "SOME DIGESTS DIFFER");
    return g_allSame ? 0 : 1;
}
