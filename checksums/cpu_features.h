#pragma once
// What the processor runs, asked in one place for every checksum core (the
// one-stream MD5, the MD5 lanes, the CRC-32 foldings). Each core's functions
// are compiled for their own instruction set by a target attribute, so the
// build itself needs none; a core is taken only where the processor has it.
// Internal to checksums/.

// The x86 cores in GCC and Clang builds, 32- and 64-bit alike.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ONDREL_X86_CORES 1
#else
#define ONDREL_X86_CORES 0
#endif

namespace ondrel::cpu {

enum Feature : unsigned {
    kSse2 = 1u << 0,
    kSse41 = 1u << 1,
    kBmi = 1u << 2,
    kPclmul = 1u << 3,
    kAvx2 = 1u << 4,
    kAvx512f = 1u << 5,
    kAvx512vl = 1u << 6,
    kVpclmulqdq = 1u << 7,
};

// Whether the processor runs every feature of the set (an empty set: yes).
// Each check of a vector extension includes the system's saving of its
// registers. Asked of the processor once; no feature outside x86 builds.
bool Has(unsigned features) noexcept;

}  // namespace ondrel::cpu
