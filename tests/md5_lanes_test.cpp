// MD5 of many streams in vector lanes: every core and interleave, forced by
// name, against the one-stream MD5 (itself checked against RFC 1321 in
// md5_test.cpp); the scheduler's chunks, failures and its way out through
// the one-stream MD5.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "checksums/md5_lanes.h"
#include "tests/support/test_files.h"

using ondrel::Md5Chunk;
using ondrel::Md5Digest;
using ondrel::Md5LaneCore;
using ondrel::Md5LaneSetup;
using ondrel::Md5StreamId;

namespace {

Md5Digest OneStream(const std::string& bytes) {
    ondrel::Md5Context context;
    ondrel::Md5Init(context);
    ondrel::Md5Update(context, bytes.data(), bytes.size());
    Md5Digest digest;
    ondrel::Md5Final(context, digest);
    return digest;
}

// Bytes that differ from stream to stream and from block to block.
std::string StreamBytes(std::size_t stream, std::size_t length) {
    std::string bytes(length, '\0');
    std::uint32_t x = static_cast<std::uint32_t>(stream) * 2654435761u + 12345u;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

// One stream of a PlannedSource: its bytes, the lengths of its chunks (the
// rest in one chunk after them), and how many chunks it delivers before it
// fails (none fails when negative).
struct Plan {
    std::string bytes;
    std::vector<std::size_t> chunks;
    int failAfter = -1;
};

// Streams handed out in order, with ids far from 0 and not consecutive.
// Every chunk is an allocation of its own, placed at an odd offset, that is
// overwritten and freed when the stream's next chunk is asked for or its
// digest comes back: a read of a chunk after that gives a wrong digest, and
// AddressSanitizer reports it.
class PlannedSource : public ondrel::Md5StreamSource {
public:
    explicit PlannedSource(std::vector<Plan> plans) : plans_(std::move(plans)), states_(plans_.size()) {}

    bool NextStream(Md5StreamId& id) override {
        EXPECT_FALSE(exhausted_) << "asked for a stream after the last";
        if (next_ == plans_.size()) {
            exhausted_ = true;
            return false;
        }
        id = IdOf(next_++);
        return true;
    }

    Md5Chunk NextChunk(Md5StreamId id) override {
        State& s = states_.at(IndexOf(id));
        const Plan& plan = plans_[IndexOf(id)];
        EXPECT_FALSE(s.failed || s.ended) << "stream " << id << " asked for a chunk after its end";
        Release(s);
        if (plan.failAfter >= 0 && s.given == static_cast<std::size_t>(plan.failAfter)) {
            s.failed = true;
            return Md5Chunk::Failure();
        }
        const std::size_t left = plan.bytes.size() - s.at;
        if (left == 0) {
            s.ended = true;
            return Md5Chunk::End();
        }
        const std::size_t size = s.given < plan.chunks.size() ? std::min(plan.chunks[s.given], left) : left;
        const std::size_t offset = 1 + (s.given * 7 + IndexOf(id)) % 63;
        s.chunk = std::make_unique<unsigned char[]>(offset + size);
        std::memcpy(s.chunk.get() + offset, plan.bytes.data() + s.at, size);
        s.chunkSize = offset + size;
        s.at += size;
        ++s.given;
        return {{s.chunk.get() + offset, size}};
    }

    void Finished(Md5StreamId id, const Md5Digest& digest) override {
        State& s = states_.at(IndexOf(id));
        EXPECT_TRUE(s.ended && !s.digest) << "stream " << id << " finished before its end or twice";
        Release(s);
        s.digest = std::make_unique<Md5Digest>(digest);
    }

    // Every stream finished with the one-stream digest, or abandoned where it was planned to fail.
    void ExpectDigests() const {
        for (std::size_t i = 0; i < plans_.size(); ++i) {
            if (plans_[i].failAfter >= 0 && plans_[i].failAfter <= static_cast<int>(plans_[i].chunks.size())) {
                EXPECT_TRUE(states_[i].failed && !states_[i].digest) << "stream " << i << " was to fail";
                continue;
            }
            ASSERT_TRUE(states_[i].digest) << "stream " << i << " of " << plans_[i].bytes.size() << " bytes has no digest";
            EXPECT_EQ(*states_[i].digest, OneStream(plans_[i].bytes))
                << "stream " << i << " of " << plans_[i].bytes.size() << " bytes";
        }
    }

private:
    struct State {
        std::size_t at = 0, given = 0, chunkSize = 0;
        bool failed = false, ended = false;
        std::unique_ptr<unsigned char[]> chunk;
        std::unique_ptr<Md5Digest> digest;
    };
    static Md5StreamId IdOf(std::size_t i) { return (Md5StreamId{1} << 40) + 3 * i; }
    static std::size_t IndexOf(Md5StreamId id) { return static_cast<std::size_t>((id - (Md5StreamId{1} << 40)) / 3); }
    static void Release(State& s) {
        if (s.chunk) std::memset(s.chunk.get(), 0xA5, s.chunkSize);
        s.chunk.reset();
    }

    std::vector<Plan> plans_;
    std::vector<State> states_;
    std::size_t next_ = 0;
    bool exhausted_ = false;
};

// Streams of the given lengths, each in one chunk.
std::vector<Plan> Whole(const std::vector<std::size_t>& lengths) {
    std::vector<Plan> plans;
    for (std::size_t i = 0; i < lengths.size(); ++i) plans.push_back({StreamBytes(i, lengths[i]), {}});
    return plans;
}

// Streams of the given lengths cut at random points: many pieces of 1 to 70
// bytes (so that blocks span chunks) and some longer ones.
std::vector<Plan> Cut(const std::vector<std::size_t>& lengths, unsigned start) {
    std::mt19937 random(start);
    std::vector<Plan> plans = Whole(lengths);
    for (Plan& plan : plans)
        for (std::size_t at = 0; at < plan.bytes.size();) {
            const std::size_t piece = random() % 3 == 0 ? 1 + random() % 3000 : 1 + random() % 70;
            plan.chunks.push_back(piece);
            at += piece;
        }
    return plans;
}

std::vector<std::size_t> Lengths(std::size_t count, std::size_t most, unsigned start) {
    std::mt19937 random(start);
    std::vector<std::size_t> lengths(count);
    for (std::size_t& length : lengths) length = random() % (most + 1);
    return lengths;
}

struct SetupCase {
    std::string name;
    Md5LaneSetup setup;
    friend void PrintTo(const SetupCase& c, std::ostream* out) { *out << c.name; }
};

// Every core at every interleave it offers, named like "avx512_x4".
std::vector<SetupCase> EverySetup() {
    std::vector<SetupCase> cases;
    for (Md5LaneCore core : ondrel::kMd5LaneCores)
        for (int g = 1; g <= ondrel::Md5LaneMaxInterleave(core); ++g) {
            std::string name = ondrel::Md5LaneCoreName(core);
            for (char& c : name)
                if (c == '-') c = '_';
            cases.push_back({name + "_x" + std::to_string(g), {core, g, 2}});
        }
    return cases;
}

class Md5LanesCores : public ::testing::TestWithParam<SetupCase> {
protected:
    void SetUp() override {
        if (!ondrel::Md5LaneCoreRuns(GetParam().setup.core))
            GTEST_SKIP() << "this machine does not run the " << ondrel::Md5LaneCoreName(GetParam().setup.core)
                         << " core";
    }
    Md5LaneSetup SetupWith(int oneStreamAtOrBelow = 2) const {
        Md5LaneSetup setup = GetParam().setup;
        setup.oneStreamAtOrBelow = oneStreamAtOrBelow;
        return setup;
    }
    int Lanes() const { return ondrel::Md5Lanes(SetupWith()).Lanes(); }
    // Runs the plans through a scheduler and checks every digest.
    ondrel::Md5LanesReport RunPlans(std::vector<Plan> plans, int oneStreamAtOrBelow = 2) const {
        PlannedSource source(std::move(plans));
        ondrel::Md5Lanes lanes(SetupWith(oneStreamAtOrBelow));
        EXPECT_EQ(lanes.Setup().core, GetParam().setup.core);
        const ondrel::Md5LanesReport report = lanes.Run(source);
        source.ExpectDigests();
        return report;
    }
};

// Buffers through Md5Many, each compared with the one-stream digest.
void ExpectManyMatch(const std::vector<std::string>& buffers, Md5LaneSetup setup, std::size_t misalign = 0) {
    std::vector<std::string> stored(buffers.size());
    std::vector<std::span<const unsigned char>> spans;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        const std::size_t offset = misalign == 0 ? 0 : 1 + (i * misalign) % 63;
        stored[i] = std::string(offset, 'x') + buffers[i];
        spans.emplace_back(reinterpret_cast<const unsigned char*>(stored[i].data()) + offset, buffers[i].size());
    }
    std::vector<Md5Digest> digests(buffers.size());
    ondrel::Md5Many(spans, digests, setup);
    for (std::size_t i = 0; i < buffers.size(); ++i)
        EXPECT_EQ(digests[i], OneStream(buffers[i])) << "buffer " << i << " of " << buffers[i].size() << " bytes";
}

TEST_P(Md5LanesCores, EveryLengthTo200InOneBatch) {
    std::vector<std::string> buffers;
    for (std::size_t length = 0; length <= 200; ++length) buffers.push_back(StreamBytes(length, length));
    ExpectManyMatch(buffers, SetupWith());
}

// Lengths where the padding takes one block or two, and whole blocks; each in
// a batch of one length (every lane ends at once) and all in one batch.
TEST_P(Md5LanesCores, PaddingEdges) {
    std::vector<std::string> all;
    for (std::size_t blocks : {0, 1, 2, 3, 7, 64}) {
        for (std::size_t edge : {55, 56, 63, 64, 65}) {
            const std::size_t length = blocks * 64 + edge;
            std::vector<std::string> batch;
            for (int i = 0; i < Lanes() + 1; ++i) batch.push_back(StreamBytes(length + 1000 * i, length));
            SCOPED_TRACE("length " + std::to_string(length));
            ExpectManyMatch(batch, SetupWith());
            all.push_back(batch[0]);
        }
    }
    ExpectManyMatch(all, SetupWith());
}

TEST_P(Md5LanesCores, UnalignedBuffers) {
    std::vector<std::string> buffers;
    for (std::size_t i = 0; i < 3 * static_cast<std::size_t>(Lanes()); ++i) buffers.push_back(StreamBytes(i, 64 * (i % 5) + i));
    ExpectManyMatch(buffers, SetupWith(), 13);
}

// Chunks cut at random points, many more streams than lanes, and the streams
// in one batch of very different lengths.
TEST_P(Md5LanesCores, ChunksCutAtRandomPoints) {
    RunPlans(Cut(Lengths(6 * static_cast<std::size_t>(Lanes()) + 5, 5000, 7), 11));
    RunPlans(Cut({0, 1, 130000, 55, 64, 9000, 120, 0, 70000}, 12));
}

// A stream that fails is abandoned where it fails; the others are not touched.
TEST_P(Md5LanesCores, FailedStreamsAreAbandoned) {
    std::vector<Plan> plans = Cut(Lengths(3 * static_cast<std::size_t>(Lanes()) + 2, 4000, 21), 22);
    int failing = 0;
    for (std::size_t i = 0; i < plans.size(); i += 3) {
        plans[i].failAfter = static_cast<int>(i % 4 == 0 ? 0 : plans[i].chunks.size() / 2);
        ++failing;
    }
    const ondrel::Md5LanesReport report = RunPlans(plans);
    EXPECT_EQ(report.abandoned, static_cast<std::uint64_t>(failing));
    EXPECT_EQ(report.finished, plans.size() - static_cast<std::uint64_t>(failing));
}

// How the last streams end: in lanes, or by the one-stream MD5, taken over
// from lanes halfway through their streams.
struct DrainCase {
    const char* name;
    int oneStreamAtOrBelow;
    std::vector<std::size_t> lengths;
    bool lanesUsed, oneStreamUsed;
};

TEST_P(Md5LanesCores, StreamsThatEndTheRun) {
    if (GetParam().setup.core == Md5LaneCore::OneStream) GTEST_SKIP() << "the one-stream core has no lanes";
    std::vector<std::size_t> twoLong(static_cast<std::size_t>(Lanes()) + 3, 300);
    twoLong[1] = twoLong[4] = 60000;
    const std::vector<std::size_t> fewShort = {5, 100};
    const DrainCase cases[] = {
        {"OneLongStreamAlone", 2, {200000}, false, true},
        {"TwoShortStreams", 2, fewShort, false, true},
        {"TwoLongAmongShort", 2, twoLong, true, true},
        {"NeverByOneStream", 0, twoLong, true, false},
        {"ByOneStreamOnceNoneIsLeft", 1000, twoLong, true, true},
    };
    for (const DrainCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ondrel::Md5LanesReport report = RunPlans(Cut(c.lengths, 31), c.oneStreamAtOrBelow);
        EXPECT_EQ(report.laneBlocks > 0, c.lanesUsed);
        EXPECT_EQ(report.oneStreamBytes > 0, c.oneStreamUsed);
        EXPECT_EQ(report.finished, c.lengths.size());
    }
}

// Once no stream is left, the busy lanes move into as few groups as hold
// them: one long stream at the end is transformed in one group, not in all.
TEST_P(Md5LanesCores, LastStreamsMoveIntoFewerGroups) {
    if (GetParam().setup.core == Md5LaneCore::OneStream) GTEST_SKIP() << "the one-stream core has no lanes";
    const std::size_t lanes = static_cast<std::size_t>(Lanes());
    std::vector<std::size_t> lengths(lanes + 5, 640);
    lengths[lanes / 2] = 64 * 2000;
    const ondrel::Md5LanesReport report = RunPlans(Cut(lengths, 41), 0);
    const std::uint64_t width = static_cast<std::uint64_t>(ondrel::Md5LaneWidth(GetParam().setup.core));
    EXPECT_LE(report.slotBlocks, width * 2001 + lanes * 24);
}

TEST_P(Md5LanesCores, RunsAgainAfterTheSourceThrows) {
    class Throwing : public PlannedSource {
    public:
        using PlannedSource::PlannedSource;
        Md5Chunk NextChunk(Md5StreamId id) override {
            if (++calls_ == 40) throw std::runtime_error("unreadable");
            return PlannedSource::NextChunk(id);
        }
        int calls_ = 0;
    };
    ondrel::Md5Lanes lanes(SetupWith());
    Throwing throwing(Cut(Lengths(100, 3000, 51), 52));
    EXPECT_THROW(lanes.Run(throwing), std::runtime_error);
    PlannedSource source(Cut(Lengths(100, 3000, 53), 54));
    const ondrel::Md5LanesReport report = lanes.Run(source);
    source.ExpectDigests();
    EXPECT_EQ(report.finished, 100u);
}

INSTANTIATE_TEST_SUITE_P(Md5Lanes, Md5LanesCores, ::testing::ValuesIn(EverySetup()), ondrel::testing::CaseName());

TEST(Md5LanesSetup, CoresByName) {
    for (Md5LaneCore core : ondrel::kMd5LaneCores) {
        Md5LaneCore named = Md5LaneCore::OneStream;
        EXPECT_TRUE(ondrel::Md5LaneCoreNamed(ondrel::Md5LaneCoreName(core), named));
        EXPECT_EQ(named, core);
        EXPECT_EQ(ondrel::Md5LaneSetupOf(core).core, core);
    }
    Md5LaneCore untouched = Md5LaneCore::Avx2;
    EXPECT_FALSE(ondrel::Md5LaneCoreNamed("avx1024", untouched));
    EXPECT_EQ(untouched, Md5LaneCore::Avx2);
    EXPECT_TRUE(ondrel::Md5LaneCoreRuns(Md5LaneCore::OneStream));
    EXPECT_TRUE(ondrel::Md5LaneCoreRuns(ondrel::Md5LaneChosen().core));
}

TEST(Md5LanesSetup, WhatCannotRunFallsBackToOneStream) {
    for (Md5LaneSetup setup : {Md5LaneSetup{Md5LaneCore::Sse2, 0, 2}, Md5LaneSetup{Md5LaneCore::Avx512, 99, 2}}) {
        ondrel::Md5Lanes lanes(setup);
        EXPECT_EQ(lanes.Setup().core, Md5LaneCore::OneStream);
        EXPECT_EQ(lanes.Lanes(), 1);
        ExpectManyMatch({"abc", "", std::string(1000, 'q')}, setup);
    }
}

// Streams past 2^29 bytes, whose length in bits needs both count words: the
// shortest of three padded in its lane, the other two taken over from their
// lanes by the one-stream MD5 when it ends (at 513 MiB).
TEST(Md5LanesSetup, StreamsLongerThan512MiB) {
    const Md5LaneSetup chosen = ondrel::Md5LaneChosen();
    const std::string piece = StreamBytes(1, 1 << 20);
    const std::size_t repeats[] = {514, 513, 515};
    // The same 1 MiB chunk again and again, then 4 bytes.
    std::map<std::size_t, Md5Digest> expected;
    ondrel::Md5Context context;
    ondrel::Md5Init(context);
    for (std::size_t i = 1; i <= 515; ++i) {
        ondrel::Md5Update(context, piece.data(), piece.size());
        if (i < 513) continue;
        ondrel::Md5Context ending = context;
        ondrel::Md5Update(ending, "tail", 4);
        ondrel::Md5Final(ending, expected[i]);
    }

    class Repeating : public ondrel::Md5StreamSource {
    public:
        Repeating(const std::string& chunk, const std::size_t* repeats) : chunk_(chunk), repeats_(repeats) {}
        bool NextStream(Md5StreamId& id) override {
            if (next_ == 3) return false;
            id = next_++;
            return true;
        }
        Md5Chunk NextChunk(Md5StreamId id) override {
            const std::size_t n = given_[id]++;
            if (n < repeats_[id]) return {{reinterpret_cast<const unsigned char*>(chunk_.data()), chunk_.size()}};
            if (n == repeats_[id]) return {{reinterpret_cast<const unsigned char*>("tail"), 4}};
            return Md5Chunk::End();
        }
        void Finished(Md5StreamId id, const Md5Digest& digest) override { digests[id] = digest; }
        std::map<Md5StreamId, Md5Digest> digests;

    private:
        const std::string& chunk_;
        const std::size_t* repeats_;
        std::map<Md5StreamId, std::size_t> given_;
        Md5StreamId next_ = 0;
    };
    Repeating source(piece, repeats);
    ondrel::Md5Lanes lanes({chosen.core, chosen.interleave, 2});
    const ondrel::Md5LanesReport report = lanes.Run(source);
    ASSERT_EQ(source.digests.size(), 3u);
    for (Md5StreamId id = 0; id < 3; ++id) EXPECT_EQ(source.digests[id], expected[repeats[id]]) << "stream " << id;
    if (chosen.core != Md5LaneCore::OneStream) {
        EXPECT_GT(report.laneBlocks, 3u * (513u << 14));
        EXPECT_LT(report.oneStreamBytes, 5u << 20);
    }
}

}  // namespace
