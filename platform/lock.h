#pragma once
// A lock for state that overlapping calls share: the system's slim
// reader/writer lock on Windows (taken exclusively), the standard library's
// mutex elsewhere. Constant-initialised, so a lock at namespace scope is
// ready before any code of the library runs.
#ifndef _WIN32
#include <mutex>
#endif

namespace ondrel::platform {

class Lock {
public:
    constexpr Lock() noexcept = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void Acquire() noexcept;
    void Release() noexcept;

private:
#ifdef _WIN32
    // The storage of an SRWLOCK (one pointer), whose unlocked state is all zero.
    void* state_ = nullptr;
#else
    std::mutex mutex_;
#endif
};

// Holds a lock for the life of the object.
class LockHold {
public:
    explicit LockHold(Lock& lock) noexcept : lock_(lock) { lock_.Acquire(); }
    ~LockHold() { lock_.Release(); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

private:
    Lock& lock_;
};

}  // namespace ondrel::platform
