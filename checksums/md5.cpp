#include "checksums/md5.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "checksums/cpu_features.h"
#if ONDREL_X86_CORES
#include <immintrin.h>
#endif

#include "checksums/md5_steps.h"

namespace ondrel {

namespace {

constexpr unsigned char kPadding[64] = {0x80};

// Message word k of a block, least significant byte first. memcpy compiles to
// one load on little-endian machines, at any alignment.
inline std::uint32_t Word(const unsigned char* block, int k) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t w;
        std::memcpy(&w, block + 4 * k, 4);
        return w;
    } else {
        const unsigned char* p = block + 4 * k;
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }
}

// How fast a step goes is how long the chain from b (the word the previous
// step produced) to the new word is: the auxiliary function's part that
// needs b, one add, the rotate, one add. Everything else is kept off it:
//  - the message word and the constant are added to a first, while the
//    previous step is still running;
//  - F(b,c,d) = (b & c) | (~b & d) is computed as d ^ (b & (c ^ d)), c ^ d
//    being ready before b;
//  - G(b,c,d) = (b & d) | (c & ~d): the two terms never share a bit, so
//    they are added one at a time, c & ~d first (it does not wait for b);
//  - H(b,c,d) = b ^ (c ^ d), c ^ d being ready before b;
//  - I(b,c,d) = c ^ (b | ~d) = ~c ^ (~b & d), ~c and ~d being ready before b.
// Portable core: plain C++.
#define ONDREL_MD5_PLAIN_F(a, b, c, d, k, t, s) \
    a += Word(block, k) + (t);                  \
    a += (d) ^ ((b) & ((c) ^ (d)));             \
    a = std::rotl(a, s) + (b)
#define ONDREL_MD5_PLAIN_G(a, b, c, d, k, t, s) \
    a += Word(block, k) + (t);                  \
    a += (c) & ~(d);                            \
    a += (b) & (d);                             \
    a = std::rotl(a, s) + (b)
#define ONDREL_MD5_PLAIN_H0(c, d) (void)0
#define ONDREL_MD5_PLAIN_H(a, b, c, d, k, t, s) \
    a += Word(block, k) + (t);                  \
    a += ((c) ^ (d)) ^ (b);                     \
    a = std::rotl(a, s) + (b)
#define ONDREL_MD5_PLAIN_I(a, b, c, d, k, t, s) \
    a += Word(block, k) + (t);                  \
    a += (c) ^ ((b) | ~(d));                    \
    a = std::rotl(a, s) + (b)
// The same with BMI1, whose ANDN computes x & ~y in one instruction that
// keeps both inputs, and with fewer instructions off the chain:
//  - G's c & ~d is one ANDN;
//  - I = ~(c ^ (d & ~b)), and adding ~x is subtracting x + 1, so the 1 goes
//    into the constant and I costs an ANDN, an XOR and a SUB;
//  - H: the c ^ d a step needs is the previous step's b ^ c, which is that
//    step's H ^ d, kept in x from step to step (set before the round).
#define ONDREL_MD5_BMI_H0(c, d) std::uint32_t x = (c) ^ (d)
#define ONDREL_MD5_BMI_H(a, b, c, d, k, t, s) \
    a += Word(block, k) + (t);                \
    x ^= (b);                                 \
    a += x;                                   \
    x ^= (d);                                 \
    a = std::rotl(a, s) + (b)
#define ONDREL_MD5_BMI_I(a, b, c, d, k, t, s)  \
    a += Word(block, k) + ((t) - 1u);          \
    a -= (c) ^ ((d) & ~(b));                   \
    a = std::rotl(a, s) + (b)

#define ONDREL_MD5_SCALAR_TRANSFORM(F, G, H0, H, I)                              \
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];    \
    for (; count > 0; --count, block += 64) {                                \
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;                  \
        ONDREL_MD5_STEPS(F, G, H0, H, I);                                     \
        a += a0;                                                             \
        b += b0;                                                             \
        c += c0;                                                             \
        d += d0;                                                             \
    }                                                                        \
    state[0] = a;                                                            \
    state[1] = b;                                                            \
    state[2] = c;                                                            \
    state[3] = d

using TransformFunction = void (*)(std::uint32_t state[4], const unsigned char* block, std::size_t count) noexcept;

// Transforms count consecutive 64-byte blocks into state.
void TransformPortable(std::uint32_t state[4], const unsigned char* block, std::size_t count) noexcept {
    ONDREL_MD5_SCALAR_TRANSFORM(ONDREL_MD5_PLAIN_F, ONDREL_MD5_PLAIN_G, ONDREL_MD5_PLAIN_H0, ONDREL_MD5_PLAIN_H,
                                ONDREL_MD5_PLAIN_I);
}

#if ONDREL_X86_CORES
__attribute__((target("bmi"))) void TransformBmi(std::uint32_t state[4], const unsigned char* block,
                                                 std::size_t count) noexcept {
    ONDREL_MD5_SCALAR_TRANSFORM(ONDREL_MD5_PLAIN_F, ONDREL_MD5_PLAIN_G, ONDREL_MD5_BMI_H0, ONDREL_MD5_BMI_H,
                                ONDREL_MD5_BMI_I);
}

#endif  // ONDREL_X86_CORES

#undef ONDREL_MD5_PLAIN_F
#undef ONDREL_MD5_PLAIN_G
#undef ONDREL_MD5_PLAIN_H0
#undef ONDREL_MD5_PLAIN_H
#undef ONDREL_MD5_PLAIN_I
#undef ONDREL_MD5_BMI_H0
#undef ONDREL_MD5_BMI_H
#undef ONDREL_MD5_BMI_I
#undef ONDREL_MD5_SCALAR_TRANSFORM

bool CoreRuns(Md5Core core) noexcept {
    switch (core) {
        case Md5Core::Portable:
            return true;
#if ONDREL_X86_CORES
        case Md5Core::Bmi:
            return cpu::Has(cpu::kBmi);
#endif
        default:
            return false;
    }
}

TransformFunction CoreFunction(Md5Core core) noexcept {
    switch (core) {
#if ONDREL_X86_CORES
        case Md5Core::Bmi:
            return &TransformBmi;
#endif
        default:
            return &TransformPortable;
    }
}

Md5Core FastestCore() noexcept {
    return CoreRuns(Md5Core::Bmi) ? Md5Core::Bmi : Md5Core::Portable;
}

// The selected core, chosen at the first transform.
void TransformFirst(std::uint32_t state[4], const unsigned char* block, std::size_t count) noexcept;
std::atomic<TransformFunction> g_transform{&TransformFirst};
std::atomic<Md5Core> g_core{Md5Core::Portable};

void SelectCore(Md5Core core) noexcept {
    g_core.store(core, std::memory_order_relaxed);
    g_transform.store(CoreFunction(core), std::memory_order_relaxed);
}

void TransformFirst(std::uint32_t state[4], const unsigned char* block, std::size_t count) noexcept {
    SelectCore(FastestCore());
    g_transform.load(std::memory_order_relaxed)(state, block, count);
}

inline void Transform(std::uint32_t state[4], const unsigned char* block, std::size_t count) noexcept {
    if (count > 0) g_transform.load(std::memory_order_relaxed)(state, block, count);
}

}  // namespace

void Md5Init(Md5Context& context) noexcept {
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.count[0] = context.count[1] = 0;
    std::memset(context.buffer, 0, sizeof context.buffer);
}

void Md5Update(Md5Context& context, const void* data, std::size_t n) noexcept {
    const unsigned char* input = static_cast<const unsigned char*>(data);
    std::size_t index = (context.count[0] >> 3) & 63;
    // The bit count runs modulo 2^64, whatever the width of n.
    const std::uint64_t bits =
        ((std::uint64_t{context.count[1]} << 32) | context.count[0]) + (static_cast<std::uint64_t>(n) << 3);
    context.count[0] = static_cast<std::uint32_t>(bits);
    context.count[1] = static_cast<std::uint32_t>(bits >> 32);
    const std::size_t partLen = 64 - index;
    std::size_t i = 0;
    if (n >= partLen) {
        std::memcpy(context.buffer + index, input, partLen);
        Transform(context.state, context.buffer, 1);
        // Whole blocks straight from the caller's memory.
        const std::size_t blocks = (n - partLen) / 64;
        Transform(context.state, input + partLen, blocks);
        i = partLen + blocks * 64;
        index = 0;
    }
    if (n > i) std::memcpy(context.buffer + index, input + i, n - i);
}

void Md5Final(Md5Context& context, Md5Digest& digest) noexcept {
    unsigned char bits[8];
    for (int i = 0; i < 8; ++i) bits[i] = static_cast<unsigned char>(context.count[i / 4] >> (8 * (i % 4)));
    const std::uint32_t index = (context.count[0] >> 3) & 63;
    const std::uint32_t padLen = index < 56 ? 56 - index : 120 - index;
    Md5Update(context, kPadding, padLen);
    Md5Update(context, bits, 8);
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(context.state[i / 4] >> (8 * (i % 4)));
    // A volatile wipe, so the compiler cannot drop it as a dead store.
    volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(&context);
    for (std::size_t i = 0; i < sizeof context; ++i) p[i] = 0;
}

bool Md5CoreRuns(Md5Core core) noexcept { return CoreRuns(core); }

bool Md5SelectCore(Md5Core core) noexcept {
    if (!CoreRuns(core)) return false;
    SelectCore(core);
    return true;
}

Md5Core Md5SelectedCore() noexcept {
    if (g_transform.load(std::memory_order_relaxed) == &TransformFirst) SelectCore(FastestCore());
    return g_core.load(std::memory_order_relaxed);
}

void Md5Stream::Update(const void* data, std::size_t count) noexcept { Md5Update(context_, data, count); }

Md5Digest Md5Stream::Finish() noexcept {
    Md5Digest digest;
    Md5Final(context_, digest);
    return digest;
}

}  // namespace ondrel
