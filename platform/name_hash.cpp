#include "platform/name_hash.h"

#include <random>

namespace ondrel::platform {

namespace {

constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

std::uint64_t Reduce(std::uint64_t x) noexcept {
    x = (x & kPrime) + (x >> 61);
    return x >= kPrime ? x - kPrime : x;
}

// x * y modulo 2^61 - 1 for x, y below it, in 64-bit arithmetic (the 32-bit
// builds have no wider integer): with x = x1 2^31 + x0 and y = y1 2^31 + y0,
// 2^62 is 2 and 2^61 is 1 modulo the prime.
std::uint64_t MulMod(std::uint64_t x, std::uint64_t y) noexcept {
    const std::uint64_t x1 = x >> 31, x0 = x & 0x7FFFFFFF;
    const std::uint64_t y1 = y >> 31, y0 = y & 0x7FFFFFFF;
    const std::uint64_t middle = x1 * y0 + x0 * y1;  // below 2^62
    const std::uint64_t m1 = middle >> 30, m0 = middle & 0x3FFFFFFF;
    return Reduce(2 * x1 * y1 + m1 + (m0 << 31) + Reduce(x0 * y0));
}

std::uint64_t PowMod(std::uint64_t base, std::uint64_t exponent) noexcept {
    std::uint64_t result = 1;
    while (exponent) {
        if (exponent & 1) result = MulMod(result, base);
        base = MulMod(base, base);
        exponent >>= 1;
    }
    return result;
}

}  // namespace

PolynomialHash::PolynomialHash() noexcept { (void)Bases(); }

const PolynomialHash::Pair& PolynomialHash::Bases() noexcept {
    static const Pair bases = [] {
        std::uint64_t a = 0x1F3D5B79A2C4E6F1ull, b = 0x0A3B5C7D9E1F2345ull;
        try {
            std::random_device random;
            a = (std::uint64_t{random()} << 32) ^ random();
            b = (std::uint64_t{random()} << 32) ^ random();
        } catch (...) {
            // No source of randomness: the fixed bases above.
        }
        // Bases from 2^40 up keep short strings apart.
        auto pick = [](std::uint64_t v) { return (Reduce(v) | (std::uint64_t{1} << 40)) % kPrime; };
        return Pair{pick(a), pick(b)};
    }();
    return bases;
}

std::uint64_t PolynomialHash::Step(std::uint64_t h, std::uint64_t base, unsigned char byte) noexcept {
    return Reduce(MulMod(h, base) + byte + 1u);
}

void PolynomialHash::Append(const PolynomialHash& other) noexcept {
    a_ = Reduce(MulMod(a_, PowMod(Bases().a, other.length_)) + other.a_);
    b_ = Reduce(MulMod(b_, PowMod(Bases().b, other.length_)) + other.b_);
    length_ += other.length_;
}

}  // namespace ondrel::platform
