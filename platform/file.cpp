#include "platform/file.h"

#include <atomic>

namespace ondrel::platform {

namespace {

std::atomic<std::int64_t> g_clockAhead{0};  // seconds

}  // namespace

void SetClockAheadForTests(std::int64_t seconds) noexcept { g_clockAhead.store(seconds, std::memory_order_relaxed); }

std::int64_t ClockAheadForTests() noexcept { return g_clockAhead.load(std::memory_order_relaxed); }

const char* OpenFailureText(OpenFailure failure) noexcept {
    switch (failure) {
        case OpenFailure::NotFound: return "not found";
        case OpenFailure::NotRegular: return "not a regular file";
        case OpenFailure::SharingViolation: return "sharing violation";
        case OpenFailure::AccessDenied: return "access denied";
        case OpenFailure::OutOfDescriptors: return "out of descriptors";
        case OpenFailure::OutOfMemory: return "out of memory";
        case OpenFailure::Other: break;
    }
    return "file cannot be opened";
}

}  // namespace ondrel::platform
