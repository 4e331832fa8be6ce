// The AVX-512 lane core: 16 lanes in each zmm group. Each auxiliary function
// is one VPTERNLOGD and each rotation one VPROLD, so a step's chain from b
// is four instructions: the function, the add, the rotation, the add.
#include "checksums/md5_lanes_cores.h"
#include "checksums/md5_steps.h"

#include <array>
#include <utility>

#if ONDREL_X86_CORES
#include <immintrin.h>

namespace ondrel::md5_lanes_detail {

namespace {

#define ONDREL_LANES_TARGET __attribute__((target("avx512f")))
#define ONDREL_LANES_INLINE ONDREL_LANES_TARGET inline __attribute__((always_inline))

using V = __m512i;
constexpr int kWidth = kAvx512Width;

// The immediate of VPTERNLOGD that computes f(b, c, d) bit by bit: f's value
// on the three operands' truth-table columns.
template <typename F>
constexpr int Ternary(F f) {
    return static_cast<int>(f(0xF0u, 0xCCu, 0xAAu) & 0xFFu);
}
constexpr int kTernaryF = Ternary([](unsigned b, unsigned c, unsigned d) { return (b & c) | (~b & d); });
constexpr int kTernaryG = Ternary([](unsigned b, unsigned c, unsigned d) { return (b & d) | (c & ~d); });
constexpr int kTernaryH = Ternary([](unsigned b, unsigned c, unsigned d) { return b ^ c ^ d; });
constexpr int kTernaryI = Ternary([](unsigned b, unsigned c, unsigned d) { return c ^ (b | ~d); });
static_assert(kTernaryF == 0xCA && kTernaryG == 0xE4 && kTernaryH == 0x96 && kTernaryI == 0x39);

ONDREL_LANES_INLINE V Load(const std::uint32_t* p) { return _mm512_loadu_si512(p); }
ONDREL_LANES_INLINE void Store(std::uint32_t* p, V v) { _mm512_storeu_si512(p, v); }
ONDREL_LANES_INLINE V LoadBytes(std::uintptr_t address) {
    return _mm512_loadu_si512(reinterpret_cast<const void*>(address));
}
ONDREL_LANES_INLINE void Opaque(V& x) { __asm__("" : "+v"(x)); }
ONDREL_LANES_INLINE V Add(V x, V y) { return _mm512_add_epi32(x, y); }
// One add with the word broadcast from memory ({1to16}).
ONDREL_LANES_INLINE V AddEach(V x, const std::uint32_t* p) {
    return _mm512_add_epi32(x, _mm512_set1_epi32(static_cast<int>(*p)));
}

// Rotations and shuffles in their masked forms with every element kept,
// which compile to the plain instructions (the plain intrinsics start from
// an undefined value that GCC 12 warns about).
template <int s>
ONDREL_LANES_INLINE V Rotl(V x) {
    return _mm512_maskz_rol_epi32(0xFFFF, x, s);
}
ONDREL_LANES_INLINE V AddF(V a, V b, V c, V d) { return Add(a, _mm512_ternarylogic_epi32(b, c, d, kTernaryF)); }
ONDREL_LANES_INLINE V AddG(V a, V b, V c, V d) { return Add(a, _mm512_ternarylogic_epi32(b, c, d, kTernaryG)); }
ONDREL_LANES_INLINE V AddH(V a, V b, V c, V d) { return Add(a, _mm512_ternarylogic_epi32(b, c, d, kTernaryH)); }
ONDREL_LANES_INLINE V AddI(V a, V b, V c, V d) { return Add(a, _mm512_ternarylogic_epi32(b, c, d, kTernaryI)); }

ONDREL_LANES_INLINE V UnpackLow32(V x, V y) { return _mm512_maskz_unpacklo_epi32(0xFFFF, x, y); }
ONDREL_LANES_INLINE V UnpackHigh32(V x, V y) { return _mm512_maskz_unpackhi_epi32(0xFFFF, x, y); }
ONDREL_LANES_INLINE V UnpackLow64(V x, V y) { return _mm512_maskz_unpacklo_epi64(0xFF, x, y); }
ONDREL_LANES_INLINE V UnpackHigh64(V x, V y) { return _mm512_maskz_unpackhi_epi64(0xFF, x, y); }
template <int kParts>
ONDREL_LANES_INLINE V Parts(V x, V y) {
    return _mm512_maskz_shuffle_i32x4(0xFFFF, x, y, kParts);
}

// A 16 × 16 transpose in two halves through the group's words, so that few
// registers are live beside the working words. First, four lanes at a time:
// after two unpacking stages vector m of lanes 4q to 4q+3 holds in its
// 128-bit part j the words 4j + m of those lanes; it goes to slot 4q + m.
// Then, for each m, the four vectors of slots m, 4 + m, 8 + m, 12 + m are
// regrouped by 128-bit parts into the words m, 4 + m, 8 + m, 12 + m of all
// sixteen lanes, which go back to the same four slots.
ONDREL_LANES_INLINE void Transpose(LaneWork& work, int g, std::uintptr_t offset) {
    std::uint32_t* words = &work.words[16 * g * kWidth];
    const std::uintptr_t* block = &work.block[g * kWidth];
    for (int q = 0; q < 4; ++q) {
        const V r0 = LoadBytes(block[4 * q] + offset), r1 = LoadBytes(block[4 * q + 1] + offset);
        const V r2 = LoadBytes(block[4 * q + 2] + offset), r3 = LoadBytes(block[4 * q + 3] + offset);
        const V t0 = UnpackLow32(r0, r1), t1 = UnpackHigh32(r0, r1);
        const V t2 = UnpackLow32(r2, r3), t3 = UnpackHigh32(r2, r3);
        Store(words + (4 * q + 0) * kWidth, UnpackLow64(t0, t2));
        Store(words + (4 * q + 1) * kWidth, UnpackHigh64(t0, t2));
        Store(words + (4 * q + 2) * kWidth, UnpackLow64(t1, t3));
        Store(words + (4 * q + 3) * kWidth, UnpackHigh64(t1, t3));
    }
    for (int m = 0; m < 4; ++m) {
        const V x0 = Load(words + m * kWidth), x1 = Load(words + (4 + m) * kWidth);
        const V x2 = Load(words + (8 + m) * kWidth), x3 = Load(words + (12 + m) * kWidth);
        // Words 0 and 2, and 1 and 3, of two quads side by side.
        const V even01 = Parts<0x88>(x0, x1), odd01 = Parts<0xDD>(x0, x1);
        const V even23 = Parts<0x88>(x2, x3), odd23 = Parts<0xDD>(x2, x3);
        Store(words + m * kWidth, Parts<0x88>(even01, even23));
        Store(words + (4 + m) * kWidth, Parts<0x88>(odd01, odd23));
        Store(words + (8 + m) * kWidth, Parts<0xDD>(even01, even23));
        Store(words + (12 + m) * kWidth, Parts<0xDD>(odd01, odd23));
    }
}

#include "checksums/md5_lanes_kernel.inc"

#undef ONDREL_LANES_TARGET
#undef ONDREL_LANES_INLINE

}  // namespace

LanesTransform Avx512Transform(int interleave) noexcept { return TransformFor<kMaxInterleave>(interleave); }

}  // namespace ondrel::md5_lanes_detail

#else

namespace ondrel::md5_lanes_detail {
LanesTransform Avx512Transform(int) noexcept { return nullptr; }
}  // namespace ondrel::md5_lanes_detail

#endif
