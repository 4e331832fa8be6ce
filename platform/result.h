#pragma once
// A value, or why there is none. The reason is taken where the failure
// happens and travels with the result: nobody reads a thread-global error
// afterwards. Why{} is the reason given when there is a value.
#include <optional>
#include <utility>

namespace ondrel::platform {

template <typename T, typename Why>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Why why) noexcept : why_(why) {}

    explicit operator bool() const noexcept { return value_.has_value(); }
    bool has_value() const noexcept { return value_.has_value(); }
    T& operator*() noexcept { return *value_; }
    const T& operator*() const noexcept { return *value_; }
    T* operator->() noexcept { return &*value_; }
    const T* operator->() const noexcept { return &*value_; }
    Why failure() const noexcept { return why_; }

    operator std::optional<T>() const& { return value_; }
    operator std::optional<T>() && { return std::move(value_); }

private:
    std::optional<T> value_;
    Why why_{};
};

}  // namespace ondrel::platform
