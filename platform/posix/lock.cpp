#include "platform/lock.h"

namespace ondrel::platform {

// Locking a valid mutex that this thread does not hold does not fail.
void Lock::Acquire() noexcept { mutex_.lock(); }

void Lock::Release() noexcept { mutex_.unlock(); }

}  // namespace ondrel::platform
