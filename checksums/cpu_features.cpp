#include "checksums/cpu_features.h"

namespace ondrel::cpu {

namespace {

unsigned Detect() noexcept {
    unsigned have = 0;
#if ONDREL_X86_CORES
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2")) have |= kSse2;
    if (__builtin_cpu_supports("sse4.1")) have |= kSse41;
    if (__builtin_cpu_supports("bmi")) have |= kBmi;
    if (__builtin_cpu_supports("pclmul")) have |= kPclmul;
    if (__builtin_cpu_supports("avx2")) have |= kAvx2;
    if (__builtin_cpu_supports("avx512f")) have |= kAvx512f;
    if (__builtin_cpu_supports("avx512vl")) have |= kAvx512vl;
    if (__builtin_cpu_supports("vpclmulqdq")) have |= kVpclmulqdq;
#endif
    return have;
}

}  // namespace

bool Has(unsigned features) noexcept {
    static const unsigned have = Detect();
    return (have & features) == features;
}

}  // namespace ondrel::cpu
