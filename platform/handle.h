#pragma once
// One owner for every operating-system handle: a file or find handle, a
// descriptor, a module, a mapped image, a resource. Traits name the value
// type, its invalid value and the one call that releases it:
//
//   struct Traits {
//       using Value = ...;
//       static Value Invalid() noexcept;
//       static void Release(Value value) noexcept;
//   };
//
// Move-only; the handle is released when the owner is destroyed or reset.
#include <utility>

namespace ondrel::platform {

template <typename Traits>
class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    Value Get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }

    // Gives the handle up without releasing it.
    Value Release() noexcept { return std::exchange(value_, Traits::Invalid()); }
    // Releases the handle held, if any, and holds value instead.
    void Reset(Value value = Traits::Invalid()) noexcept {
        const Value old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Release(old);
    }

private:
    Value value_ = Traits::Invalid();
};

}  // namespace ondrel::platform
