#include <windows.h>

#include "platform/lock.h"

namespace ondrel::platform {

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && alignof(SRWLOCK) == alignof(void*));

PSRWLOCK AsSrwLock(void** state) noexcept { return reinterpret_cast<PSRWLOCK>(state); }

}  // namespace

void Lock::Acquire() noexcept { AcquireSRWLockExclusive(AsSrwLock(&state_)); }

void Lock::Release() noexcept { ReleaseSRWLockExclusive(AsSrwLock(&state_)); }

}  // namespace ondrel::platform
