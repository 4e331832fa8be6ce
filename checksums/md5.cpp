#include "checksums/md5.h"

#include <bit>
#include <cstring>

#include "checksums/hex.h"

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

// The four rounds of RFC 1321, written for speed without changing a bit of
// the result:
//  - the message word and the constant are added to a first, while the
//    auxiliary function of b, c, d is still being computed;
//  - F(b,c,d) = (b & c) | (~b & d) is computed as d ^ (b & (c ^ d));
//  - G(b,c,d) = (b & d) | (c & ~d): the two terms never share a bit, so
//    they are added separately, and c & ~d (which does not wait for b, the
//    word the previous step just produced) leaves the critical path;
//  - H and I as published;
//  - every step is spelled out, so constants and shifts are immediates.
#define ONDREL_MD5_F(a, b, c, d, k, t, s)        \
    a += Word(block, k) + (t);                   \
    a += (d) ^ ((b) & ((c) ^ (d)));              \
    a = std::rotl(a, s) + (b)
#define ONDREL_MD5_G(a, b, c, d, k, t, s)        \
    a += Word(block, k) + (t);                   \
    a += (c) & ~(d);                             \
    a += (b) & (d);                              \
    a = std::rotl(a, s) + (b)
#define ONDREL_MD5_H(a, b, c, d, k, t, s)        \
    a += Word(block, k) + (t);                   \
    a += ((c) ^ (d)) ^ (b);                      \
    a = std::rotl(a, s) + (b)
#define ONDREL_MD5_I(a, b, c, d, k, t, s)        \
    a += Word(block, k) + (t);                   \
    a += (c) ^ ((b) | ~(d));                     \
    a = std::rotl(a, s) + (b)

// Transforms count consecutive 64-byte blocks into state.
void Transform(std::uint32_t state[4], const unsigned char* block, std::size_t count) noexcept {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count > 0; --count, block += 64) {
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        ONDREL_MD5_F(a, b, c, d, 0, 0xd76aa478, 7);
        ONDREL_MD5_F(d, a, b, c, 1, 0xe8c7b756, 12);
        ONDREL_MD5_F(c, d, a, b, 2, 0x242070db, 17);
        ONDREL_MD5_F(b, c, d, a, 3, 0xc1bdceee, 22);
        ONDREL_MD5_F(a, b, c, d, 4, 0xf57c0faf, 7);
        ONDREL_MD5_F(d, a, b, c, 5, 0x4787c62a, 12);
        ONDREL_MD5_F(c, d, a, b, 6, 0xa8304613, 17);
        ONDREL_MD5_F(b, c, d, a, 7, 0xfd469501, 22);
        ONDREL_MD5_F(a, b, c, d, 8, 0x698098d8, 7);
        ONDREL_MD5_F(d, a, b, c, 9, 0x8b44f7af, 12);
        ONDREL_MD5_F(c, d, a, b, 10, 0xffff5bb1, 17);
        ONDREL_MD5_F(b, c, d, a, 11, 0x895cd7be, 22);
        ONDREL_MD5_F(a, b, c, d, 12, 0x6b901122, 7);
        ONDREL_MD5_F(d, a, b, c, 13, 0xfd987193, 12);
        ONDREL_MD5_F(c, d, a, b, 14, 0xa679438e, 17);
        ONDREL_MD5_F(b, c, d, a, 15, 0x49b40821, 22);

        ONDREL_MD5_G(a, b, c, d, 1, 0xf61e2562, 5);
        ONDREL_MD5_G(d, a, b, c, 6, 0xc040b340, 9);
        ONDREL_MD5_G(c, d, a, b, 11, 0x265e5a51, 14);
        ONDREL_MD5_G(b, c, d, a, 0, 0xe9b6c7aa, 20);
        ONDREL_MD5_G(a, b, c, d, 5, 0xd62f105d, 5);
        ONDREL_MD5_G(d, a, b, c, 10, 0x02441453, 9);
        ONDREL_MD5_G(c, d, a, b, 15, 0xd8a1e681, 14);
        ONDREL_MD5_G(b, c, d, a, 4, 0xe7d3fbc8, 20);
        ONDREL_MD5_G(a, b, c, d, 9, 0x21e1cde6, 5);
        ONDREL_MD5_G(d, a, b, c, 14, 0xc33707d6, 9);
        ONDREL_MD5_G(c, d, a, b, 3, 0xf4d50d87, 14);
        ONDREL_MD5_G(b, c, d, a, 8, 0x455a14ed, 20);
        ONDREL_MD5_G(a, b, c, d, 13, 0xa9e3e905, 5);
        ONDREL_MD5_G(d, a, b, c, 2, 0xfcefa3f8, 9);
        ONDREL_MD5_G(c, d, a, b, 7, 0x676f02d9, 14);
        ONDREL_MD5_G(b, c, d, a, 12, 0x8d2a4c8a, 20);

        ONDREL_MD5_H(a, b, c, d, 5, 0xfffa3942, 4);
        ONDREL_MD5_H(d, a, b, c, 8, 0x8771f681, 11);
        ONDREL_MD5_H(c, d, a, b, 11, 0x6d9d6122, 16);
        ONDREL_MD5_H(b, c, d, a, 14, 0xfde5380c, 23);
        ONDREL_MD5_H(a, b, c, d, 1, 0xa4beea44, 4);
        ONDREL_MD5_H(d, a, b, c, 4, 0x4bdecfa9, 11);
        ONDREL_MD5_H(c, d, a, b, 7, 0xf6bb4b60, 16);
        ONDREL_MD5_H(b, c, d, a, 10, 0xbebfbc70, 23);
        ONDREL_MD5_H(a, b, c, d, 13, 0x289b7ec6, 4);
        ONDREL_MD5_H(d, a, b, c, 0, 0xeaa127fa, 11);
        ONDREL_MD5_H(c, d, a, b, 3, 0xd4ef3085, 16);
        ONDREL_MD5_H(b, c, d, a, 6, 0x04881d05, 23);
        ONDREL_MD5_H(a, b, c, d, 9, 0xd9d4d039, 4);
        ONDREL_MD5_H(d, a, b, c, 12, 0xe6db99e5, 11);
        ONDREL_MD5_H(c, d, a, b, 15, 0x1fa27cf8, 16);
        ONDREL_MD5_H(b, c, d, a, 2, 0xc4ac5665, 23);

        ONDREL_MD5_I(a, b, c, d, 0, 0xf4292244, 6);
        ONDREL_MD5_I(d, a, b, c, 7, 0x432aff97, 10);
        ONDREL_MD5_I(c, d, a, b, 14, 0xab9423a7, 15);
        ONDREL_MD5_I(b, c, d, a, 5, 0xfc93a039, 21);
        ONDREL_MD5_I(a, b, c, d, 12, 0x655b59c3, 6);
        ONDREL_MD5_I(d, a, b, c, 3, 0x8f0ccc92, 10);
        ONDREL_MD5_I(c, d, a, b, 10, 0xffeff47d, 15);
        ONDREL_MD5_I(b, c, d, a, 1, 0x85845dd1, 21);
        ONDREL_MD5_I(a, b, c, d, 8, 0x6fa87e4f, 6);
        ONDREL_MD5_I(d, a, b, c, 15, 0xfe2ce6e0, 10);
        ONDREL_MD5_I(c, d, a, b, 6, 0xa3014314, 15);
        ONDREL_MD5_I(b, c, d, a, 13, 0x4e0811a1, 21);
        ONDREL_MD5_I(a, b, c, d, 4, 0xf7537e82, 6);
        ONDREL_MD5_I(d, a, b, c, 11, 0xbd3af235, 10);
        ONDREL_MD5_I(c, d, a, b, 2, 0x2ad7d2bb, 15);
        ONDREL_MD5_I(b, c, d, a, 9, 0xeb86d391, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef ONDREL_MD5_F
#undef ONDREL_MD5_G
#undef ONDREL_MD5_H
#undef ONDREL_MD5_I

}  // namespace

void Md5Init(Md5Context& context) noexcept {
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.count[0] = context.count[1] = 0;
    std::memset(context.buffer, 0, sizeof context.buffer);
}

void Md5Update(Md5Context& context, const void* data, std::uint32_t n) noexcept {
    const unsigned char* input = static_cast<const unsigned char*>(data);
    std::uint32_t index = (context.count[0] >> 3) & 63;
    context.count[0] += n << 3;
    if (context.count[0] < (n << 3)) context.count[1] += 1;
    context.count[1] += n >> 29;
    const std::uint32_t partLen = 64 - index;
    std::uint32_t i = 0;
    if (n >= partLen) {
        std::memcpy(context.buffer + index, input, partLen);
        Transform(context.state, context.buffer, 1);
        // Whole blocks straight from the caller's memory.
        const std::uint32_t blocks = (n - partLen) / 64;
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

std::string Md5ToHex(const Md5Digest& digest) {
    static constexpr char kAlphabet[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (unsigned char byte : digest) {
        text += kAlphabet[byte >> 4];
        text += kAlphabet[byte & 15];
    }
    return text;
}

std::string DigestText(const Md5Digest& digest) { return AsciiUpperCopy(Md5ToHex(digest)); }

void Md5Stream::Update(const void* data, std::size_t count) noexcept {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (count > 0) {
        std::uint32_t piece = count > 0x40000000 ? 0x40000000u : static_cast<std::uint32_t>(count);
        Md5Update(context_, p, piece);
        p += piece;
        count -= piece;
    }
}

std::string Md5Stream::FinishText() {
    Md5Digest digest;
    Md5Final(context_, digest);
    return DigestText(digest);
}

std::string DigestTextOf(const void* data, std::size_t count) {
    Md5Stream stream;
    stream.Update(data, count);
    return stream.FinishText();
}

}  // namespace ondrel
