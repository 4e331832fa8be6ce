#pragma once
// MD5 (RFC 1321) over memory, and its text form.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "checksums/hex.h"

namespace ondrel {

struct Md5Context {
    std::uint32_t state[4];  // chaining words A, B, C, D
    std::uint32_t count[2];  // bits fed so far, modulo 2^64, low word first
    unsigned char buffer[64];  // input not yet transformed
};

using Md5Digest = std::array<unsigned char, 16>;

void Md5Init(Md5Context& context) noexcept;
void Md5Update(Md5Context& context, const void* data, std::size_t count) noexcept;
// Writes the digest and wipes the context.
void Md5Final(Md5Context& context, Md5Digest& digest) noexcept;

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

// The DigestText: 32 upper-case hexadecimal characters, digest byte 0 first,
// the text in which rules compare and caches hold digests.
inline std::string DigestText(const Md5Digest& digest) { return HexText(digest.data(), digest.size()); }

// A digest fed piece by piece, of any total length.
class Md5Stream {
public:
    Md5Stream() noexcept { Md5Init(context_); }
    void Update(const void* data, std::size_t count) noexcept;
    // The digest of everything fed; the stream is spent afterwards.
    Md5Digest Finish() noexcept;

private:
    Md5Context context_;
};

}  // namespace ondrel
