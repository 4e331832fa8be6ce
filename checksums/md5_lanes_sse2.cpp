// The SSE2 lane core: 4 lanes in each xmm group, with the same functions as
// the AVX2 core; every x86 processor of the last twenty years runs it.
#include "checksums/md5_lanes_cores.h"
#include "checksums/md5_steps.h"

#include <array>
#include <utility>

#if ONDREL_X86_CORES
#include <emmintrin.h>

namespace ondrel::md5_lanes_detail {

namespace {

#define ONDREL_LANES_TARGET __attribute__((target("sse2")))
#define ONDREL_LANES_INLINE ONDREL_LANES_TARGET inline __attribute__((always_inline))

using V = __m128i;
constexpr int kWidth = kSse2Width;

ONDREL_LANES_INLINE V Load(const std::uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
ONDREL_LANES_INLINE void Store(std::uint32_t* p, V v) { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }
ONDREL_LANES_INLINE V LoadBytes(std::uintptr_t address) { return _mm_loadu_si128(reinterpret_cast<const V*>(address)); }
ONDREL_LANES_INLINE void Opaque(V& x) { __asm__("" : "+v"(x)); }
ONDREL_LANES_INLINE V Add(V x, V y) { return _mm_add_epi32(x, y); }
ONDREL_LANES_INLINE V Xor(V x, V y) { return _mm_xor_si128(x, y); }
// The word broadcast from memory, then added.
ONDREL_LANES_INLINE V AddEach(V x, const std::uint32_t* p) {
    return _mm_add_epi32(x, _mm_set1_epi32(static_cast<int>(*p)));
}
template <int s>
ONDREL_LANES_INLINE V Rotl(V x) {
    return _mm_or_si128(_mm_slli_epi32(x, s), _mm_srli_epi32(x, 32 - s));
}
// As in the AVX2 core: F = d ^ (b & (c ^ d)); G added in two terms, c & ~d
// first; H = b ^ (c ^ d); I = c ^ (b | ~d).
ONDREL_LANES_INLINE V AddF(V a, V b, V c, V d) { return Add(a, Xor(d, _mm_and_si128(b, Xor(c, d)))); }
ONDREL_LANES_INLINE V AddG(V a, V b, V c, V d) {
    a = Add(a, _mm_andnot_si128(d, c));
    Opaque(a);
    return Add(a, _mm_and_si128(b, d));
}
ONDREL_LANES_INLINE V AddH(V a, V b, V c, V d) { return Add(a, Xor(b, Xor(c, d))); }
ONDREL_LANES_INLINE V AddI(V a, V b, V c, V d) { return Add(a, Xor(c, _mm_or_si128(b, Xor(d, _mm_set1_epi32(-1))))); }

// Four 4 × 4 transposes, one per 16 bytes of the lanes' blocks.
ONDREL_LANES_INLINE void Transpose(LaneWork& work, int g, std::uintptr_t offset) {
    std::uint32_t* words = &work.words[16 * g * kWidth];
    const std::uintptr_t* block = &work.block[g * kWidth];
    for (int part = 0; part < 4; ++part) {
        const std::uintptr_t at = offset + 16 * static_cast<std::uintptr_t>(part);
        const V r0 = LoadBytes(block[0] + at), r1 = LoadBytes(block[1] + at);
        const V r2 = LoadBytes(block[2] + at), r3 = LoadBytes(block[3] + at);
        const V t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpackhi_epi32(r0, r1);
        const V t2 = _mm_unpacklo_epi32(r2, r3), t3 = _mm_unpackhi_epi32(r2, r3);
        std::uint32_t* out = words + 4 * part * kWidth;
        Store(out, _mm_unpacklo_epi64(t0, t2));
        Store(out + kWidth, _mm_unpackhi_epi64(t0, t2));
        Store(out + 2 * kWidth, _mm_unpacklo_epi64(t1, t3));
        Store(out + 3 * kWidth, _mm_unpackhi_epi64(t1, t3));
    }
}

#include "checksums/md5_lanes_kernel.inc"

#undef ONDREL_LANES_TARGET
#undef ONDREL_LANES_INLINE

}  // namespace

LanesTransform Sse2Transform(int interleave) noexcept { return TransformFor<4>(interleave); }

}  // namespace ondrel::md5_lanes_detail

#else

namespace ondrel::md5_lanes_detail {
LanesTransform Sse2Transform(int) noexcept { return nullptr; }
}  // namespace ondrel::md5_lanes_detail

#endif
