// The scheduler of many MD5 streams in the lanes of a vector core.
//
// Each lane holds one stream. The scheduler counts time in blocks: at each
// turn the core transforms, in every lane at once, as many blocks as the
// lane that runs out first still has, and that lane (or those lanes) then
// gets its next blocks. A lane's blocks are whole 64-byte blocks straight
// from the stream's chunk, or one block the scheduler put together in the
// lane's own tail: the pieces of a block that two chunks share, or the
// padding after the stream's last byte. Lanes that run out are found in a
// heap of the times at which they do, so a turn costs the same for 4 lanes
// as for 96 (apart from the core's own work).
//
// A lane's block address is kept relative to the block clock (the address
// minus 64 × the clock when it was given), so that no lane's address moves
// at a turn: the core reads lane i's block at address[i] + 64 × clock.
//
// When the source has no stream left, lanes empty one by one. The busy lanes
// are then packed into as few groups as hold them, and once few are left they
// are finished by the one-stream MD5, which takes one stream faster than a
// lane of a group does.
#include "checksums/md5_lanes.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <vector>

#include "checksums/md5_lanes_cores.h"

namespace ondrel {

namespace {

using md5_lanes_detail::kMaxLanes;
using md5_lanes_detail::LanesTransform;
using md5_lanes_detail::LaneWork;

constexpr std::uint32_t kStart[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Heap entries: the block clock at which a lane runs out, and the lane.
constexpr int kLaneBits = 7;
static_assert(kMaxLanes <= (1 << kLaneBits));

bool ProcessorRuns(Md5LaneCore core) noexcept {
    switch (core) {
        case Md5LaneCore::Sse2: return cpu::Has(cpu::kSse2);
        case Md5LaneCore::Avx2: return cpu::Has(cpu::kAvx2);
        case Md5LaneCore::Avx512: return cpu::Has(cpu::kAvx512f);
        case Md5LaneCore::OneStream: break;
    }
    return true;
}

LanesTransform TransformOf(Md5LaneCore core, int interleave) noexcept {
    switch (core) {
        case Md5LaneCore::Sse2: return md5_lanes_detail::Sse2Transform(interleave);
        case Md5LaneCore::Avx2: return md5_lanes_detail::Avx2Transform(interleave);
        case Md5LaneCore::Avx512: return md5_lanes_detail::Avx512Transform(interleave);
        case Md5LaneCore::OneStream: break;
    }
    return nullptr;
}

Md5Digest DigestOfState(const std::uint32_t state[4]) noexcept {
    Md5Digest digest;
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(state[i / 4] >> (8 * (i % 4)));
    return digest;
}

}  // namespace

const char* Md5LaneCoreName(Md5LaneCore core) noexcept {
    switch (core) {
        case Md5LaneCore::OneStream: return "one-stream";
        case Md5LaneCore::Sse2: return "sse2";
        case Md5LaneCore::Avx2: return "avx2";
        case Md5LaneCore::Avx512: return "avx512";
    }
    return "?";
}

bool Md5LaneCoreNamed(std::string_view name, Md5LaneCore& core) noexcept {
    for (Md5LaneCore candidate : kMd5LaneCores)
        if (name == Md5LaneCoreName(candidate)) {
            core = candidate;
            return true;
        }
    return false;
}

bool Md5LaneCoreRuns(Md5LaneCore core) noexcept {
    static const std::array<bool, kMd5LaneCores.size()> runs = [] {
        std::array<bool, kMd5LaneCores.size()> r{};
        for (std::size_t i = 0; i < r.size(); ++i)
            r[i] = ProcessorRuns(kMd5LaneCores[i]) && (kMd5LaneCores[i] == Md5LaneCore::OneStream ||
                                                     TransformOf(kMd5LaneCores[i], 1) != nullptr);
        return r;
    }();
    return runs[static_cast<std::size_t>(core)];
}

int Md5LaneWidth(Md5LaneCore core) noexcept {
    switch (core) {
        case Md5LaneCore::OneStream: return 1;
        case Md5LaneCore::Sse2: return md5_lanes_detail::kSse2Width;
        case Md5LaneCore::Avx2: return md5_lanes_detail::kAvx2Width;
        case Md5LaneCore::Avx512: return md5_lanes_detail::kAvx512Width;
    }
    return 1;
}

int Md5LaneMaxInterleave(Md5LaneCore core) noexcept {
    int most = 0;
    while (most < md5_lanes_detail::kMaxInterleave && TransformOf(core, most + 1) != nullptr) ++most;
    return std::max(most, 1);
}

Md5LaneSetup Md5LaneSetupOf(Md5LaneCore core) noexcept {
    // Measured with md5_lanes_bench on an AMD EPYC with AVX-512 (64-bit build):
    // AVX-512 x4 is the fastest or close to it whether the lanes' bytes sit in
    // the caches or come from memory (x2 to x3 win from memory alone, x6 in the
    // first-level cache alone); AVX2 x4 and SSE2 x3 are the fastest of theirs.
    // A 32-bit build has 8 vector registers instead of 16 or 32; it takes two
    // groups (not measured: 32-bit programs do not run on that machine).
#if defined(__i386__)
    constexpr int kAvx512Groups = 2, kAvx2Groups = 2, kSse2Groups = 2;
#else
    constexpr int kAvx512Groups = 4, kAvx2Groups = 4, kSse2Groups = 3;
#endif
    switch (core) {
        case Md5LaneCore::Avx512: return {core, kAvx512Groups};
        case Md5LaneCore::Avx2: return {core, kAvx2Groups};
        case Md5LaneCore::Sse2: return {core, kSse2Groups};
        case Md5LaneCore::OneStream: break;
    }
    return {};
}

Md5LaneSetup Md5LaneChosen() noexcept {
    for (auto core = kMd5LaneCores.rbegin(); core != kMd5LaneCores.rend(); ++core)
        if (Md5LaneCoreRuns(*core)) return Md5LaneSetupOf(*core);
    return {};
}

struct Md5Lanes::State {
    struct Lane {
        enum class Phase : unsigned char { Idle, Data, Padding };
        Phase phase = Phase::Idle;
        unsigned fill = 0;  // bytes waiting in tail for the rest of their block
        Md5StreamId id = 0;
        const unsigned char* chunk = nullptr;  // what the core has not been given of the current chunk
        std::size_t chunkLeft = 0;
        std::uint64_t length = 0;  // bytes received so far
        std::uint64_t due = 0;     // the clock at which the lane's blocks are through
        alignas(16) unsigned char tail[128];
    };

    Md5LaneSetup setup;
    int width = 1;
    // transforms[g - 1] transforms g groups.
    LanesTransform transforms[md5_lanes_detail::kMaxInterleave] = {};

    LaneWork work;
    Lane lanes[kMaxLanes];
    // A min-heap of due << kLaneBits | lane, over the lanes with blocks.
    std::uint64_t heap[kMaxLanes];
    int busy = 0;

    // One run.
    Md5StreamSource* source = nullptr;
    bool more = false;  // the source may have streams left
    std::uint64_t clock = 0;
    int groups = 0;  // groups the core transforms now
    Md5LanesReport report;

    int Slots() const noexcept { return width * groups; }

    void Push(int i) noexcept {
        heap[busy++] = lanes[i].due << kLaneBits | static_cast<std::uint64_t>(i);
        std::push_heap(heap, heap + busy, std::greater<>());
    }
    int Pop() noexcept {
        std::pop_heap(heap, heap + busy, std::greater<>());
        return static_cast<int>(heap[--busy] & ((1u << kLaneBits) - 1));
    }
    std::uint64_t FirstDue() const noexcept { return heap[0] >> kLaneBits; }

    // Lane i's next blocks are count blocks at p.
    void Give(int i, const unsigned char* p, std::size_t count) noexcept {
        work.block[i] = reinterpret_cast<std::uintptr_t>(p) - static_cast<std::uintptr_t>(clock * 64);
        lanes[i].due = clock + count;
        Push(i);
    }
    const unsigned char* NextBlock(int i) const noexcept {
        return reinterpret_cast<const unsigned char*>(work.block[i] + static_cast<std::uintptr_t>(clock * 64));
    }

    void Begin(Md5StreamSource& from) noexcept {
        source = &from;
        more = true;
        clock = 0;
        busy = 0;
        groups = setup.interleave;
        report = {};
        for (Lane& lane : lanes) lane.phase = Lane::Phase::Idle;
    }

    // Gives lane i (whose blocks are through, or which has just started) its
    // next blocks: whole blocks of its chunk, a block put together in its
    // tail, or its padding. False when the stream failed and was abandoned.
    bool Feed(int i) {
        Lane& lane = lanes[i];
        for (;;) {
            if (lane.fill == 0 && lane.chunkLeft >= 64) {
                const std::size_t blocks = lane.chunkLeft / 64;
                Give(i, lane.chunk, blocks);
                lane.chunk += 64 * blocks;
                lane.chunkLeft -= 64 * blocks;
                return true;
            }
            if (lane.chunkLeft > 0) {
                const std::size_t take = std::min<std::size_t>(64 - lane.fill, lane.chunkLeft);
                std::memcpy(lane.tail + lane.fill, lane.chunk, take);
                lane.fill += static_cast<unsigned>(take);
                lane.chunk += take;
                lane.chunkLeft -= take;
                if (lane.fill == 64) {
                    lane.fill = 0;
                    Give(i, lane.tail, 1);
                    return true;
                }
            }
            // The chunk is used up and no block of the lane reads it any more.
            const Md5Chunk next = source->NextChunk(lane.id);
            if (next.failed) {
                lane.phase = Lane::Phase::Idle;
                ++report.abandoned;
                return false;
            }
            if (next.bytes.empty()) {
                Pad(i);
                return true;
            }
            lane.chunk = next.bytes.data();
            lane.chunkLeft = next.bytes.size();
            lane.length += next.bytes.size();
        }
    }

    // After the stream's last byte: 0x80, zeros up to 8 bytes short of a
    // block's end, the length in bits (least significant byte first).
    void Pad(int i) noexcept {
        Lane& lane = lanes[i];
        const unsigned end = lane.fill < 56 ? 64 : 128;
        lane.tail[lane.fill] = 0x80;
        std::memset(lane.tail + lane.fill + 1, 0, end - 8 - lane.fill - 1);
        const std::uint64_t bits = lane.length * 8;
        for (unsigned b = 0; b < 8; ++b) lane.tail[end - 8 + b] = static_cast<unsigned char>(bits >> (8 * b));
        lane.phase = Lane::Phase::Padding;
        Give(i, lane.tail, end / 64);
    }

    // Starts the source's next stream in the free lane i, if it has one.
    void Take(int i) {
        Lane& lane = lanes[i];
        while (more) {
            if (!source->NextStream(lane.id)) {
                more = false;
                break;
            }
            lane.phase = Lane::Phase::Data;
            lane.fill = 0;
            lane.chunk = nullptr;
            lane.chunkLeft = 0;
            lane.length = 0;
            for (int r = 0; r < 4; ++r) work.state[r][i] = kStart[r];
            if (Feed(i)) return;
        }
        lane.phase = Lane::Phase::Idle;
    }

    // Lane i's blocks are through.
    void Next(int i) {
        Lane& lane = lanes[i];
        if (lane.phase == Lane::Phase::Padding) {
            const std::uint32_t state[4] = {work.state[0][i], work.state[1][i], work.state[2][i], work.state[3][i]};
            lane.phase = Lane::Phase::Idle;
            ++report.finished;
            source->Finished(lane.id, DigestOfState(state));
        } else if (Feed(i)) {
            return;
        }
        Take(i);
    }

    // With no stream left to take: the busy lanes packed into the first
    // groups, as few as hold them, and the lanes without a stream in those
    // groups given the blocks of a busy lane to read.
    void Narrow() noexcept {
        const int needed = (busy + width - 1) / width;
        if (needed < groups) {
            const int slots = needed * width;
            int free = 0;
            for (int from = slots; from < Slots(); ++from) {
                if (lanes[from].phase == Lane::Phase::Idle) continue;
                while (lanes[free].phase != Lane::Phase::Idle) ++free;
                Move(from, free);
            }
            groups = needed;
            busy = 0;
            for (int i = 0; i < slots; ++i)
                if (lanes[i].phase != Lane::Phase::Idle) Push(i);
        }
        const std::uintptr_t some = work.block[heap[0] & ((1u << kLaneBits) - 1)];
        for (int i = 0; i < Slots(); ++i)
            if (lanes[i].phase == Lane::Phase::Idle) work.block[i] = some;
    }

    void Move(int from, int to) noexcept {
        Lane& moved = lanes[from];
        Lane& target = lanes[to];
        const unsigned char* next = NextBlock(from);
        const bool inTail = next >= moved.tail && next < moved.tail + sizeof moved.tail;
        target = moved;
        moved.phase = Lane::Phase::Idle;
        for (int r = 0; r < 4; ++r) work.state[r][to] = work.state[r][from];
        work.block[to] = work.block[from];
        if (inTail)
            work.block[to] += reinterpret_cast<std::uintptr_t>(target.tail) - reinterpret_cast<std::uintptr_t>(moved.tail);
    }

    // Finishes a stream from the one-stream context that holds all of it
    // before the lane's chunk: the rest of the chunk, then chunk after chunk.
    void FinishByOneStream(Md5Context& context, Lane& lane) {
        Md5Update(context, lane.chunk, lane.chunkLeft);
        report.oneStreamBytes += lane.chunkLeft;
        for (;;) {
            const Md5Chunk next = source->NextChunk(lane.id);
            if (next.failed) {
                ++report.abandoned;
                break;
            }
            if (next.bytes.empty()) {
                Md5Digest digest;
                Md5Final(context, digest);
                ++report.finished;
                source->Finished(lane.id, digest);
                break;
            }
            Md5Update(context, next.bytes.data(), next.bytes.size());
            report.oneStreamBytes += next.bytes.size();
        }
        lane.phase = Lane::Phase::Idle;
    }

    // The busy lanes, one after another, by the one-stream MD5: each lane's
    // chaining words and length so far go into a context, which takes the
    // lane's blocks and then the rest of its stream.
    void DrainByOneStream() {
        while (busy > 0) {
            const int i = Pop();
            Lane& lane = lanes[i];
            Md5Context context;
            Md5Init(context);
            for (int r = 0; r < 4; ++r) context.state[r] = work.state[r][i];
            const std::size_t blocks = static_cast<std::size_t>(lane.due - clock);
            if (lane.phase == Lane::Phase::Padding) {
                // The padding's blocks as they stand; the chaining words are the digest.
                Md5Update(context, NextBlock(i), 64 * blocks);
                report.oneStreamBytes += 64 * blocks;
                lane.phase = Lane::Phase::Idle;
                ++report.finished;
                source->Finished(lane.id, DigestOfState(context.state));
                continue;
            }
            // A lane with blocks to go has no bytes waiting in its tail.
            const std::uint64_t done = lane.length - 64 * blocks - lane.chunkLeft;
            context.count[0] = static_cast<std::uint32_t>(done << 3);
            context.count[1] = static_cast<std::uint32_t>(done >> 29);
            Md5Update(context, NextBlock(i), 64 * blocks);
            report.oneStreamBytes += 64 * blocks;
            FinishByOneStream(context, lane);
        }
    }

    // Every stream of the source by the one-stream MD5.
    void RunOneStream() {
        Lane& lane = lanes[0];
        while (source->NextStream(lane.id)) {
            Md5Context context;
            Md5Init(context);
            lane.chunk = nullptr;
            lane.chunkLeft = 0;
            FinishByOneStream(context, lane);
        }
        more = false;
    }

    void Run() {
        if (transforms[0] == nullptr) return RunOneStream();
        for (int i = 0; i < Slots(); ++i) Take(i);
        while (busy > 0) {
            if (!more) {
                if (busy <= setup.oneStreamAtOrBelow) return DrainByOneStream();
                Narrow();
            }
            const std::uint64_t due = FirstDue();
            const std::size_t count = static_cast<std::size_t>(due - clock);
            transforms[groups - 1](work, static_cast<std::uintptr_t>(clock * 64), count);
            ++report.transforms;
            report.laneBlocks += static_cast<std::uint64_t>(busy) * count;
            report.slotBlocks += static_cast<std::uint64_t>(Slots()) * count;
            clock = due;
            while (busy > 0 && FirstDue() == clock) Next(Pop());
        }
    }
};

Md5Lanes::Md5Lanes(Md5LaneSetup setup) : state_(std::make_unique<State>()) {
    State& s = *state_;
    const bool runs = Md5LaneCoreRuns(setup.core) && TransformOf(setup.core, setup.interleave) != nullptr;
    if (!runs) setup = {Md5LaneCore::OneStream, 1, setup.oneStreamAtOrBelow};
    s.setup = setup;
    s.width = Md5LaneWidth(setup.core);
    for (int g = 1; runs && g <= setup.interleave; ++g) s.transforms[g - 1] = TransformOf(setup.core, g);
}

Md5Lanes::~Md5Lanes() = default;

Md5LaneSetup Md5Lanes::Setup() const noexcept { return state_->setup; }

int Md5Lanes::Lanes() const noexcept { return state_->width * state_->setup.interleave; }

Md5LanesReport Md5Lanes::Run(Md5StreamSource& source) {
    State& s = *state_;
    s.Begin(source);
    s.Run();
    return s.report;
}

namespace {

// Buffers in memory as streams, the longest first, each one chunk.
class BufferSource final : public Md5StreamSource {
public:
    BufferSource(std::span<const std::span<const unsigned char>> buffers, std::span<Md5Digest> digests)
        : buffers_(buffers), digests_(digests), order_(std::min(buffers.size(), digests.size())) {
        std::iota(order_.begin(), order_.end(), std::size_t{0});
        std::stable_sort(order_.begin(), order_.end(),
                         [&](std::size_t x, std::size_t y) { return buffers_[x].size() > buffers_[y].size(); });
        given_.assign(order_.size(), false);
    }
    bool NextStream(Md5StreamId& id) override {
        if (next_ == order_.size()) return false;
        id = order_[next_++];
        return true;
    }
    Md5Chunk NextChunk(Md5StreamId id) override {
        const auto i = static_cast<std::size_t>(id);
        if (given_[i]) return Md5Chunk::End();
        given_[i] = true;
        return {buffers_[i]};
    }
    void Finished(Md5StreamId id, const Md5Digest& digest) override { digests_[static_cast<std::size_t>(id)] = digest; }

private:
    std::span<const std::span<const unsigned char>> buffers_;
    std::span<Md5Digest> digests_;
    std::vector<std::size_t> order_;
    std::vector<bool> given_;
    std::size_t next_ = 0;
};

}  // namespace

void Md5Many(std::span<const std::span<const unsigned char>> buffers, std::span<Md5Digest> digests,
             Md5LaneSetup setup) {
    BufferSource source(buffers, digests);
    Md5Lanes lanes(setup);
    lanes.Run(source);
}

}  // namespace ondrel
