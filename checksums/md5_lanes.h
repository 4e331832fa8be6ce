#pragma once
// MD5 of many byte streams at once, one stream per lane of the processor's
// vector registers. One MD5 stream is a chain of dependent steps that no
// processor shortens; independent streams (the files of a tree) are not, and
// a vector register of 16 lanes carries 16 of them through the same steps.
// The digests are exactly those of Md5Init, Md5Update and Md5Final.
//
// Md5Lanes pulls the streams from a source: it asks for a stream when a lane
// is free, for a stream's bytes chunk by chunk as the lane needs them, and
// hands back each digest when the stream's last block is through. It keeps
// lanes × interleave streams in flight, writes the padding after each
// stream's bytes in its lane, and when no stream is left to take and few
// lanes are still busy, finishes those with the one-stream MD5, so that a
// long stream at the end goes no slower than Md5Update alone would take it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "checksums/md5.h"

namespace ondrel {

// The ways of digesting many streams at once. All give the same digests.
enum class Md5LaneCore {
    OneStream,  // no lanes: one stream after another through Md5Update; everywhere
    Sse2,       // 4 lanes in each xmm group (x86 builds)
    Avx2,       // 8 lanes in each ymm group (x86 builds)
    Avx512,     // 16 lanes in each zmm group (x86 builds)
};
// Every core, slowest first.
inline constexpr std::array<Md5LaneCore, 4> kMd5LaneCores{Md5LaneCore::OneStream, Md5LaneCore::Sse2,
                                                         Md5LaneCore::Avx2, Md5LaneCore::Avx512};
// "one-stream", "sse2", "avx2", "avx512".
const char* Md5LaneCoreName(Md5LaneCore core) noexcept;
// The core of that name; false for a name of none.
bool Md5LaneCoreNamed(std::string_view name, Md5LaneCore& core) noexcept;
// False where the processor or the build lacks what the core needs.
bool Md5LaneCoreRuns(Md5LaneCore core) noexcept;
// Lanes in one group of the core (1 for OneStream), and the most groups it
// interleaves.
int Md5LaneWidth(Md5LaneCore core) noexcept;
int Md5LaneMaxInterleave(Md5LaneCore core) noexcept;

// How a scheduler digests: the core, how many of its lane groups are
// interleaved (streams in flight: width × interleave), and how few busy
// lanes, once no stream is left to take, are finished by the one-stream MD5
// instead (two lanes of a group go no faster than one stream on its own).
struct Md5LaneSetup {
    Md5LaneCore core = Md5LaneCore::OneStream;
    int interleave = 1;
    int oneStreamAtOrBelow = 2;
};
// The fastest core this machine runs, with the interleave measured best for it.
Md5LaneSetup Md5LaneChosen() noexcept;
// A core's own best interleave (measured on the development machine), for
// forcing a core by name. The core need not run here.
Md5LaneSetup Md5LaneSetupOf(Md5LaneCore core) noexcept;

// Whatever the source uses to tell its streams apart (an index, an address).
using Md5StreamId = std::uint64_t;

// The next bytes of a stream. Empty: the stream ends here. Failed: the stream
// cannot be read on; the scheduler abandons it (no digest is handed back for
// it) and asks for none of its bytes again.
struct Md5Chunk {
    std::span<const unsigned char> bytes;
    bool failed = false;

    static Md5Chunk End() noexcept { return {}; }
    static Md5Chunk Failure() noexcept { return {{}, true}; }
};

// Where a scheduler takes its streams from. Calls come from the thread that
// runs the scheduler, one at a time.
class Md5StreamSource {
public:
    virtual ~Md5StreamSource() = default;
    // The next stream to digest, or false when there is none; after false it
    // is not asked again.
    virtual bool NextStream(Md5StreamId& id) = 0;
    // The stream's next chunk, of any length. A chunk's bytes are read until
    // the scheduler asks the same stream for its next chunk (or the stream's
    // digest is handed back, or Run returns), and never written.
    virtual Md5Chunk NextChunk(Md5StreamId id) = 0;
    // The digest of a stream that reached its end.
    virtual void Finished(Md5StreamId id, const Md5Digest& digest) = 0;
};

// What a run did.
struct Md5LanesReport {
    std::uint64_t finished = 0;   // streams whose digests were handed back
    std::uint64_t abandoned = 0;  // streams given up on a failed chunk
    std::uint64_t transforms = 0;  // calls of the lane core
    std::uint64_t laneBlocks = 0;  // blocks transformed for streams in lanes
    std::uint64_t slotBlocks = 0;  // blocks transformed by the core, lanes without a stream included
    std::uint64_t oneStreamBytes = 0;  // bytes (padding included) taken by the one-stream MD5
};

// The scheduler. Memory: besides the chunks the source hands it (at most one
// a stream in flight, Lanes() in all, none of them copied), it owns about
// 300 bytes a lane (up to 96 lanes) and allocates nothing during a run.
//
// Speed: the lanes read their blocks side by side. Chunks that all begin at
// one offset within a 4 KiB page (page-aligned buffers) and streams of one
// length keep every lane's block on the same offset, which costs the cores
// up to a quarter of their speed; a source that owns its buffers can start
// buffer i at 64 × i bytes past a page boundary.
//
// One scheduler runs one source at a time; threads each take their own.
class Md5Lanes {
public:
    // A setup whose core the machine does not run, or whose interleave the
    // core does not offer, falls back to the one-stream MD5.
    explicit Md5Lanes(Md5LaneSetup setup = Md5LaneChosen());
    ~Md5Lanes();
    Md5Lanes(const Md5Lanes&) = delete;
    Md5Lanes& operator=(const Md5Lanes&) = delete;

    // The setup in use.
    Md5LaneSetup Setup() const noexcept;
    // Streams in flight: lanes of a group × interleave (1 for the one-stream MD5).
    int Lanes() const noexcept;

    // Digests the source's streams until it has none left and every stream
    // taken is finished or abandoned. Streams finish in no particular order;
    // a run is shortest when the source hands out its longest streams first.
    // Whatever the source throws leaves Run (the scheduler can run again).
    Md5LanesReport Run(Md5StreamSource& source);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The digests of several buffers at once: digests[i] of buffers[i] (the two
// spans of one length). Takes the longest buffers first.
void Md5Many(std::span<const std::span<const unsigned char>> buffers, std::span<Md5Digest> digests,
             Md5LaneSetup setup = Md5LaneChosen());

}  // namespace ondrel
