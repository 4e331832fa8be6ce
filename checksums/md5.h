#pragma once
// MD5 (RFC 1321) over memory, and its text form.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ondrel {

struct Md5Context {
    std::uint32_t state[4];  // chaining words A, B, C, D
    std::uint32_t count[2];  // bits fed so far, modulo 2^64, low word first
    unsigned char buffer[64];  // input not yet transformed
};

using Md5Digest = std::array<unsigned char, 16>;

void Md5Init(Md5Context& context) noexcept;
void Md5Update(Md5Context& context, const void* data, std::uint32_t count) noexcept;
// Writes the digest and wipes the context.
void Md5Final(Md5Context& context, Md5Digest& digest) noexcept;
// 32 lower-case hexadecimal characters, digest byte 0 first.
std::string Md5ToHex(const Md5Digest& digest);

// The ways this build can transform blocks. All give the same digests; the
// fastest that the machine runs is used unless another is selected.
enum class Md5Core {
    Portable,  // plain C++, everywhere
    Bmi,       // x86 with BMI1 (GCC and Clang builds)
};
// A seam for tests and benchmarks. Md5SelectCore makes every later update
// of the process use core and returns true, or returns false and changes
// nothing when the machine cannot run it.
bool Md5CoreRuns(Md5Core core) noexcept;
bool Md5SelectCore(Md5Core core) noexcept;
Md5Core Md5SelectedCore() noexcept;

// The upper-case text in which rules compare and caches hold digests.
std::string DigestText(const Md5Digest& digest);

// A digest fed piece by piece, of any total length.
class Md5Stream {
public:
    Md5Stream() noexcept { Md5Init(context_); }
    void Update(const void* data, std::size_t count) noexcept;
    // The DigestText of everything fed; the stream is spent afterwards.
    std::string FinishText();

private:
    Md5Context context_;
};

// The DigestText of a block of memory.
std::string DigestTextOf(const void* data, std::size_t count);

}  // namespace ondrel
