#pragma once
// What the lane cores and the scheduler of md5_lanes.cpp share. Internal to
// checksums/ (and to its benchmark).
//
// A core transforms blocks of many streams at once: lane i of a group holds
// the chaining words of one stream in element i of four vector registers (A,
// B, C, D), and G groups are interleaved in one loop, so that G independent
// chains of dependent steps keep the vector units busy. Each block of the
// lanes is first transposed: word k of every lane's block goes into one
// vector, so that the steps add message words to A as they add constants.
#include <cstddef>
#include <cstdint>

// The cores are x86 code in GCC and Clang builds (ONDREL_X86_CORES).
#include "checksums/cpu_features.h"

// The entry of a transform. A 32-bit Windows caller keeps the stack aligned
// to 4 bytes only, and vectors spilled to it need more.
#if defined(__i386__)
#define ONDREL_LANES_ENTRY __attribute__((force_align_arg_pointer))
#else
#define ONDREL_LANES_ENTRY
#endif

namespace ondrel::md5_lanes_detail {

// Lanes of one group per core, and the most groups a core interleaves.
inline constexpr int kSse2Width = 4;
inline constexpr int kAvx2Width = 8;
inline constexpr int kAvx512Width = 16;
inline constexpr int kMaxInterleave = 6;
inline constexpr int kMaxLanes = kAvx512Width * kMaxInterleave;

// The lanes' state between transforms, in memory the scheduler owns.
struct alignas(64) LaneWork {
    // Chaining words A, B, C, D of each lane: state[0][i] is A of lane i.
    std::uint32_t state[4][kMaxLanes];
    // Lane i reads its block j of a transform at block[i] + offset + 64 j,
    // offset being the transform's argument. The scheduler keeps each lane's
    // address relative to a running block count, so that a transform moves
    // no lane's address. Any address is taken: a lane without a stream reads
    // the bytes of another lane.
    std::uintptr_t block[kMaxLanes];
    // Scratch: the transposed block of each group, word k of group g's lanes
    // at words[(16 g + k) * width].
    alignas(64) std::uint32_t words[16 * kMaxLanes];
};

// Transforms count blocks of every lane of the first interleave × width lanes.
using LanesTransform = void (*)(LaneWork& work, std::uintptr_t offset, std::size_t count) noexcept;

// The transform of a core for interleave 1 to kMaxInterleave, or null where
// the build has no such core or interleave. Whether the processor runs it is
// asked separately (Md5LaneCoreRuns).
LanesTransform Sse2Transform(int interleave) noexcept;
LanesTransform Avx2Transform(int interleave) noexcept;
LanesTransform Avx512Transform(int interleave) noexcept;

}  // namespace ondrel::md5_lanes_detail
