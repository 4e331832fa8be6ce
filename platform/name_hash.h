#pragma once
// A hash of a byte string that can be extended by another string given
// only by its hash: two polynomial hashes modulo the prime 2^61 - 1 over
// bases picked at random once per process, so that no input is known in
// advance to collide. Two different strings of length n collide with a
// chance below n / 2^60.
#include <cstdint>

namespace ondrel::platform {

class PolynomialHash {
public:
    PolynomialHash() noexcept;

    void Add(unsigned char byte) noexcept {
        a_ = Step(a_, Bases().a, byte);
        b_ = Step(b_, Bases().b, byte);
        ++length_;
    }
    // As if the bytes that other was made of were added one by one.
    void Append(const PolynomialHash& other) noexcept;

    std::uint64_t length() const noexcept { return length_; }
    bool operator==(const PolynomialHash&) const = default;
    std::uint64_t Mix() const noexcept { return a_ ^ (b_ << 7) ^ (length_ * 0x9E3779B97F4A7C15ull); }

private:
    struct Pair {
        std::uint64_t a;
        std::uint64_t b;
    };
    static const Pair& Bases() noexcept;
    static std::uint64_t Step(std::uint64_t h, std::uint64_t base, unsigned char byte) noexcept;

    std::uint64_t a_ = 0;
    std::uint64_t b_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace ondrel::platform
