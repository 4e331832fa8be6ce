// The AVX2 lane core: 8 lanes in each ymm group. Without three-input logic
// or rotations, a step's chain from b is the auxiliary function's part that
// needs b (one or two instructions), the add, two shifts side by side and
// their OR, and the add; what needs no b is computed beside the chain.
#include "checksums/md5_lanes_cores.h"
#include "checksums/md5_steps.h"

#include <array>
#include <utility>

#if ONDREL_X86_CORES
#include <immintrin.h>

namespace ondrel::md5_lanes_detail {

namespace {

#define ONDREL_LANES_TARGET __attribute__((target("avx2")))
#define ONDREL_LANES_INLINE ONDREL_LANES_TARGET inline __attribute__((always_inline))

using V = __m256i;
constexpr int kWidth = kAvx2Width;

ONDREL_LANES_INLINE V Load(const std::uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
ONDREL_LANES_INLINE void Store(std::uint32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
ONDREL_LANES_INLINE V LoadBytes(std::uintptr_t address) {
    return _mm256_loadu_si256(reinterpret_cast<const V*>(address));
}
ONDREL_LANES_INLINE void Opaque(V& x) { __asm__("" : "+v"(x)); }
ONDREL_LANES_INLINE V Add(V x, V y) { return _mm256_add_epi32(x, y); }
ONDREL_LANES_INLINE V Xor(V x, V y) { return _mm256_xor_si256(x, y); }
// The word broadcast from memory, then added.
ONDREL_LANES_INLINE V AddEach(V x, const std::uint32_t* p) {
    return _mm256_add_epi32(x, _mm256_set1_epi32(static_cast<int>(*p)));
}
template <int s>
ONDREL_LANES_INLINE V Rotl(V x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - s));
}
// F = d ^ (b & (c ^ d)); G's two terms share no bit and are added one at a
// time, c & ~d first; H = b ^ (c ^ d); I = c ^ (b | ~d).
ONDREL_LANES_INLINE V AddF(V a, V b, V c, V d) { return Add(a, Xor(d, _mm256_and_si256(b, Xor(c, d)))); }
ONDREL_LANES_INLINE V AddG(V a, V b, V c, V d) {
    a = Add(a, _mm256_andnot_si256(d, c));
    Opaque(a);
    return Add(a, _mm256_and_si256(b, d));
}
ONDREL_LANES_INLINE V AddH(V a, V b, V c, V d) { return Add(a, Xor(b, Xor(c, d))); }
ONDREL_LANES_INLINE V AddI(V a, V b, V c, V d) {
    return Add(a, Xor(c, _mm256_or_si256(b, Xor(d, _mm256_set1_epi32(-1)))));
}

// Two 8 × 8 transposes (words 0 to 7, then 8 to 15 of each block), each in
// two halves through the group's words: four lanes at a time, two unpacking
// stages leave in vector m, 128-bit part j, the words 8h + 4j + m of those
// lanes (slot 8h + 4q + m); then the parts of slots 8h + m and 8h + 4 + m
// are regrouped into the words 8h + m and 8h + 4 + m of all eight lanes.
ONDREL_LANES_INLINE void Transpose(LaneWork& work, int g, std::uintptr_t offset) {
    std::uint32_t* words = &work.words[16 * g * kWidth];
    const std::uintptr_t* block = &work.block[g * kWidth];
    for (int h = 0; h < 2; ++h) {
        std::uint32_t* half = words + 8 * h * kWidth;
        for (int q = 0; q < 2; ++q) {
            const std::uintptr_t at = offset + 32 * static_cast<std::uintptr_t>(h);
            const V r0 = LoadBytes(block[4 * q] + at), r1 = LoadBytes(block[4 * q + 1] + at);
            const V r2 = LoadBytes(block[4 * q + 2] + at), r3 = LoadBytes(block[4 * q + 3] + at);
            const V t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
            const V t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
            Store(half + (4 * q + 0) * kWidth, _mm256_unpacklo_epi64(t0, t2));
            Store(half + (4 * q + 1) * kWidth, _mm256_unpackhi_epi64(t0, t2));
            Store(half + (4 * q + 2) * kWidth, _mm256_unpacklo_epi64(t1, t3));
            Store(half + (4 * q + 3) * kWidth, _mm256_unpackhi_epi64(t1, t3));
        }
        for (int m = 0; m < 4; ++m) {
            const V x0 = Load(half + m * kWidth), x1 = Load(half + (4 + m) * kWidth);
            Store(half + m * kWidth, _mm256_permute2x128_si256(x0, x1, 0x20));
            Store(half + (4 + m) * kWidth, _mm256_permute2x128_si256(x0, x1, 0x31));
        }
    }
}

#include "checksums/md5_lanes_kernel.inc"

#undef ONDREL_LANES_TARGET
#undef ONDREL_LANES_INLINE

}  // namespace

LanesTransform Avx2Transform(int interleave) noexcept { return TransformFor<4>(interleave); }

}  // namespace ondrel::md5_lanes_detail

#else

namespace ondrel::md5_lanes_detail {
LanesTransform Avx2Transform(int) noexcept { return nullptr; }
}  // namespace ondrel::md5_lanes_detail

#endif
