// CRC-32, reflected form.
//
// The register holds the remainder of the message, read least significant
// bit first, divided by the polynomial 0xEDB88320 (x^32 + x^26 + ... + 1 with
// its bits reversed). Table entry i is the remainder of the byte i followed by
// 32 zero bits; one table look-up then advances the register by a byte:
// crc = (crc >> 8) ^ T[(crc ^ byte) & 0xFF].
//
// Slices: T[k][i] is the remainder of the byte i followed by k zero bytes, so
// sixteen look-ups in sixteen tables advance the register by sixteen bytes at
// once, with the look-ups independent of each other.
//
// Folding: where the processor multiplies without carries (PCLMULQDQ), four
// 128-bit lanes of the message are folded forward by 512 bits per step
// (multiplying by x^512 mod P and x^576 mod P), then into one lane, then
// reduced to 32 bits with a Barrett reduction. The constants are powers of x
// modulo the polynomial, in the reflected domain; the method is Intel's "Fast
// CRC Computation for Generic Polynomials Using PCLMULQDQ Instruction".
//
// Wide folding: where the processor also multiplies without carries in
// 512-bit registers (VPCLMULQDQ with AVX-512), four such registers hold
// sixteen 128-bit lanes and fold forward by 2048 bits (256 bytes) per step.
// The registers are then folded into one (512 bits at a time), its four
// lanes into the last one (by 384, 256 and 128 bits), and the 128-bit tail
// and the reduction finish as above. Folding a lane forward by d bits
// multiplies its two halves by x^(d+32) and x^(d-32) modulo P.
#include "checksums/crc32.h"

#include <bit>
#include <cstring>
#include <memory>


// Both foldings in 32-bit and 64-bit x86 builds; each is taken only where
// the processor has what it needs.
#include "checksums/cpu_features.h"
#if ONDREL_X86_CORES
#include <immintrin.h>
#define ONDREL_CRC32_FOLDING 1
#define ONDREL_CRC32_WIDE_FOLDING 1
#endif

namespace ondrel {

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

using Slices = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr Slices MakeSlices() {
    Slices t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 16; ++k)
        for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

// Read-only, computed by the compiler.
constexpr Slices kSlices = MakeSlices();
static_assert(kSlices[0][1] == 0x77073096u && kSlices[0][128] == 0xEDB88320u && kSlices[0][255] == 0x2D02EF8Du);

inline std::uint32_t Load32(const unsigned char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

inline std::uint32_t ByteByByte(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
    for (; n > 0; --n, ++p) crc = (crc >> 8) ^ kSlices[0][(crc ^ *p) & 0xFF];
    return crc;
}

#ifdef ONDREL_CRC32_FOLDING

// x^k mod P, normal bit order, P = 0x104C11DB7.
constexpr std::uint32_t PowerOfX(unsigned k) {
    std::uint64_t r = 1;
    for (unsigned i = 0; i < k; ++i) {
        r <<= 1;
        if (r & 0x100000000ull) r ^= 0x104C11DB7ull;
    }
    return static_cast<std::uint32_t>(r);
}

// a * b mod P over GF(2), normal bit order; checks the powers another way.
constexpr std::uint32_t MultiplyModP(std::uint32_t a, std::uint32_t b) {
    std::uint64_t product = 0;
    for (int bit = 0; bit < 32; ++bit)
        if (b & (1u << bit)) product ^= std::uint64_t{a} << bit;
    for (int bit = 63; bit >= 32; --bit)
        if (product & (std::uint64_t{1} << bit)) product ^= 0x104C11DB7ull << (bit - 32);
    return static_cast<std::uint32_t>(product);
}

// x^k mod P in the reflected domain, shifted left by one as the folding
// method needs; computed here rather than copied.
constexpr std::uint64_t ReflectedPowerOfX(unsigned k) {
    const std::uint32_t r = PowerOfX(k);
    // Reflect the 32-bit remainder into 33 bits (the shift by one).
    std::uint64_t out = 0;
    for (int bit = 0; bit < 32; ++bit)
        if (r & (1u << bit)) out |= std::uint64_t{1} << (32 - bit);
    return out;
}

// floor(x^64 / P), reflected into 33 bits: the Barrett constant.
constexpr std::uint64_t ReflectedBarrettQuotient() {
    // Long division over GF(2), one dividend bit at a time: when the running
    // remainder reaches degree 32, P times x^i is subtracted and bit i of the
    // quotient is set.
    std::uint64_t remainder = 0, quotient = 0;
    for (int i = 64; i >= 0; --i) {
        remainder = (remainder << 1) | (i == 64 ? 1u : 0u);
        if (remainder & 0x100000000ull) {
            remainder ^= 0x104C11DB7ull;
            quotient |= std::uint64_t{1} << i;
        }
    }
    std::uint64_t out = 0;
    for (int bit = 0; bit < 33; ++bit)
        if (quotient & (std::uint64_t{1} << bit)) out |= std::uint64_t{1} << (32 - bit);
    return out;
}

constexpr std::uint64_t kFold512Low = ReflectedPowerOfX(4 * 128 + 32);   // k1
constexpr std::uint64_t kFold512High = ReflectedPowerOfX(4 * 128 - 32);  // k2
constexpr std::uint64_t kFold128Low = ReflectedPowerOfX(128 + 32);       // k3
constexpr std::uint64_t kFold128High = ReflectedPowerOfX(128 - 32);      // k4
constexpr std::uint64_t kFold64 = ReflectedPowerOfX(64);                 // k5
constexpr std::uint64_t kBarrettMu = ReflectedBarrettQuotient();
constexpr std::uint64_t kReflectedPolynomial = 0x1DB710641ull;
static_assert(kFold512Low == 0x154442bd4ull && kFold512High == 0x1c6e41596ull);
static_assert(kFold128Low == 0x1751997d0ull && kFold128High == 0x0ccaa009eull);
static_assert(kFold64 == 0x163cd6124ull && kBarrettMu == 0x1F7011641ull);

// The wide path's distances: 2048 bits per step; 384, 256 and 128 bits from
// the lanes of one register to its last lane.
constexpr std::uint64_t kFold2048Low = ReflectedPowerOfX(2048 + 32);
constexpr std::uint64_t kFold2048High = ReflectedPowerOfX(2048 - 32);
constexpr std::uint64_t kFold384Low = ReflectedPowerOfX(384 + 32);
constexpr std::uint64_t kFold384High = ReflectedPowerOfX(384 - 32);
constexpr std::uint64_t kFold256Low = ReflectedPowerOfX(256 + 32);
constexpr std::uint64_t kFold256High = ReflectedPowerOfX(256 - 32);
// Each power once more by squaring a half power (x^2h = x^h * x^h mod P),
// against the powers by stepping; the multiplication itself is checked on a
// published constant.
constexpr bool SquaresAgree(unsigned k) { return PowerOfX(k) == MultiplyModP(PowerOfX(k / 2), PowerOfX(k / 2)); }
static_assert(SquaresAgree(4 * 128 + 32) && SquaresAgree(128 + 32) && SquaresAgree(64));
static_assert(SquaresAgree(2048 + 32) && SquaresAgree(2048 - 32) && SquaresAgree(384 + 32) &&
              SquaresAgree(384 - 32) && SquaresAgree(256 + 32) && SquaresAgree(256 - 32));

__attribute__((target("pclmul,sse4.1"))) inline __m128i Pair(std::uint64_t low, std::uint64_t high) {
    return _mm_set_epi32(static_cast<int>(high >> 32), static_cast<int>(high & 0xFFFFFFFFu),
                         static_cast<int>(low >> 32), static_cast<int>(low & 0xFFFFFFFFu));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i lane, __m128i constants, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i LoadLane(const unsigned char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One lane that holds the message so far, then count more bytes (a multiple
// of 16): each is folded in, and the lane reduced to the 32-bit register.
__attribute__((target("pclmul,sse4.1"))) inline std::uint32_t FinishLane(__m128i x1, const unsigned char* p,
                                                                        std::size_t count) noexcept {
    const __m128i by128 = Pair(kFold128Low, kFold128High);
    while (count >= 16) {
        x1 = Fold(x1, by128, LoadLane(p));
        p += 16;
        count -= 16;
    }

    // 128 bits to 64.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i x2b = _mm_clmulepi64_si128(x1, by128, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
    const __m128i by64 = Pair(kFold64, 0);
    x2b = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_clmulepi64_si128(x1, by64, 0x00);
    x1 = _mm_xor_si128(x1, x2b);

    // Barrett reduction to 32 bits.
    const __m128i barrett = Pair(kReflectedPolynomial, kBarrettMu);
    __m128i t = _mm_and_si128(x1, low32);
    t = _mm_clmulepi64_si128(t, barrett, 0x10);
    t = _mm_and_si128(t, low32);
    t = _mm_clmulepi64_si128(t, barrett, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// count is a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t FoldBlocks(std::uint32_t crc, const unsigned char* p,
                                                                 std::size_t count) noexcept {
    __m128i x1 = LoadLane(p);
    __m128i x2 = LoadLane(p + 16);
    __m128i x3 = LoadLane(p + 32);
    __m128i x4 = LoadLane(p + 48);
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    p += 64;
    count -= 64;

    const __m128i by512 = Pair(kFold512Low, kFold512High);
    while (count >= 64) {
        x1 = Fold(x1, by512, LoadLane(p));
        x2 = Fold(x2, by512, LoadLane(p + 16));
        x3 = Fold(x3, by512, LoadLane(p + 32));
        x4 = Fold(x4, by512, LoadLane(p + 48));
        p += 64;
        count -= 64;
    }

    const __m128i by128 = Pair(kFold128Low, kFold128High);
    x1 = Fold(x1, by128, x2);
    x1 = Fold(x1, by128, x3);
    x1 = Fold(x1, by128, x4);
    return FinishLane(x1, p, count);
}

#ifdef ONDREL_CRC32_WIDE_FOLDING

#define ONDREL_CRC32_WIDE_TARGET __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1")))

// The same two constants in each of the four lanes.
ONDREL_CRC32_WIDE_TARGET inline __m512i PairInEachLane(std::uint64_t low, std::uint64_t high) {
    const auto l = static_cast<long long>(low), h = static_cast<long long>(high);
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

// Each of the four lanes folded forward, next added: three-way exclusive or.
ONDREL_CRC32_WIDE_TARGET inline __m512i FoldWide(__m512i lanes, __m512i constants, __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, constants, 0x00),
                                     _mm512_clmulepi64_epi128(lanes, constants, 0x11), next, 0x96);
}

ONDREL_CRC32_WIDE_TARGET inline __m512i LoadLanes(const unsigned char* p) noexcept { return _mm512_loadu_si512(p); }

// One 128-bit lane. (The masked form: the plain one starts from an
// undefined value that GCC 12 warns about.)
template <int kLane>
ONDREL_CRC32_WIDE_TARGET inline __m128i LaneOf(__m512i lanes) {
    return _mm512_maskz_extracti32x4_epi32(0xF, lanes, kLane);
}

// count is a multiple of 16 and at least 256. Few enough values are live
// that none of them goes to the stack in 64-bit builds (GCC for 64-bit
// Windows cannot align the stack to 64 bytes).
ONDREL_CRC32_WIDE_TARGET std::uint32_t WideFoldBlocks(std::uint32_t crc, const unsigned char* p,
                                                      std::size_t count) noexcept {
    __m512i x0 = LoadLanes(p);
    __m512i x1 = LoadLanes(p + 64);
    __m512i x2 = LoadLanes(p + 128);
    __m512i x3 = LoadLanes(p + 192);
    x0 = _mm512_xor_si512(x0, _mm512_maskz_set1_epi32(1, static_cast<int>(crc)));
    p += 256;
    count -= 256;

    const __m512i by2048 = PairInEachLane(kFold2048Low, kFold2048High);
    while (count >= 256) {
        x0 = FoldWide(x0, by2048, LoadLanes(p));
        x1 = FoldWide(x1, by2048, LoadLanes(p + 64));
        x2 = FoldWide(x2, by2048, LoadLanes(p + 128));
        x3 = FoldWide(x3, by2048, LoadLanes(p + 192));
        p += 256;
        count -= 256;
    }

    // Four registers into the last, then 64 bytes at a time.
    const __m512i by512 = PairInEachLane(kFold512Low, kFold512High);
    x1 = FoldWide(x0, by512, x1);
    x2 = FoldWide(x1, by512, x2);
    x3 = FoldWide(x2, by512, x3);
    while (count >= 64) {
        x3 = FoldWide(x3, by512, LoadLanes(p));
        p += 64;
        count -= 64;
    }

    // Lanes 0, 1 and 2 forward by 384, 256 and 128 bits onto lane 3; lane 3
    // itself is multiplied by zero here and added as it is.
    const __m512i toLast = _mm512_set_epi64(
        0, 0, static_cast<long long>(kFold128High), static_cast<long long>(kFold128Low),
        static_cast<long long>(kFold256High), static_cast<long long>(kFold256Low),
        static_cast<long long>(kFold384High), static_cast<long long>(kFold384Low));
    const __m512i moved =
        _mm512_xor_si512(_mm512_clmulepi64_epi128(x3, toLast, 0x00), _mm512_clmulepi64_epi128(x3, toLast, 0x11));
    __m128i lane = _mm_ternarylogic_epi64(LaneOf<0>(moved), LaneOf<1>(moved), LaneOf<2>(moved), 0x96);
    lane = _mm_xor_si128(lane, LaneOf<3>(x3));
    return FinishLane(lane, p, count);
}

#endif  // ONDREL_CRC32_WIDE_FOLDING

#endif  // ONDREL_CRC32_FOLDING

}  // namespace

namespace crc32_detail {

std::uint32_t UpdateBySlices(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        const auto& t = kSlices;
        for (; n >= 16; n -= 16, p += 16) {
            const std::uint32_t w0 = Load32(p) ^ crc, w1 = Load32(p + 4), w2 = Load32(p + 8), w3 = Load32(p + 12);
            crc = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
                  t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
                  t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
                  t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
        }
    }
    return ByteByByte(crc, p, n);
}

bool FoldingAvailable() noexcept {
#ifdef ONDREL_CRC32_FOLDING
    return cpu::Has(cpu::kPclmul | cpu::kSse41);
#else
    return false;
#endif
}

std::uint32_t UpdateByFolding(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
#ifdef ONDREL_CRC32_FOLDING
    if (n >= 64) {
        const std::size_t whole = n & ~static_cast<std::size_t>(15);
        crc = FoldBlocks(crc, p, whole);
        p += whole;
        n -= whole;
    }
#endif
    return UpdateBySlices(crc, p, n);
}

bool WideFoldingAvailable() noexcept {
#ifdef ONDREL_CRC32_WIDE_FOLDING
    return cpu::Has(cpu::kPclmul | cpu::kSse41 | cpu::kAvx512f | cpu::kAvx512vl | cpu::kVpclmulqdq);
#else
    return false;
#endif
}

std::uint32_t UpdateByWideFolding(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
#ifdef ONDREL_CRC32_WIDE_FOLDING
    if (n >= 256) {
        const std::size_t whole = n & ~static_cast<std::size_t>(15);
        return UpdateBySlices(WideFoldBlocks(crc, p, whole), p + whole, n - whole);
    }
#endif
    return UpdateByFolding(crc, p, n);
}

const char* MethodName(Method method) noexcept {
    switch (method) {
        case Method::Slices: return "slices";
        case Method::Folding: return "folding";
        case Method::WideFolding: return "wide folding";
    }
    return "?";
}

bool Available(Method method) noexcept {
    switch (method) {
        case Method::Slices: return true;
        case Method::Folding: return FoldingAvailable();
        case Method::WideFolding: return WideFoldingAvailable();
    }
    return false;
}

std::uint32_t UpdateBy(Method method, std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
    switch (method) {
        case Method::Slices: break;
        case Method::Folding: return UpdateByFolding(crc, p, n);
        case Method::WideFolding: return UpdateByWideFolding(crc, p, n);
    }
    return UpdateBySlices(crc, p, n);
}

Method Chosen() noexcept {
    static const Method chosen = WideFoldingAvailable() ? Method::WideFolding
                                 : FoldingAvailable()   ? Method::Folding
                                                        : Method::Slices;
    return chosen;
}

}  // namespace crc32_detail

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t count) noexcept {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    // Folding pays from a few blocks on.
    if (count < 128) return ~crc32_detail::UpdateBySlices(~crc, p, count);
    return ~crc32_detail::UpdateBy(crc32_detail::Chosen(), ~crc, p, count);
}

}  // namespace ondrel
