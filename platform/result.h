#pragma once
// A value, or why there is none. The reason is taken where the failure
// happens and travels with the result: nobody reads a thread-global error
// afterwards. Why{} is the reason given when there is a value. A result
// cannot be dropped unread: a failure nobody looked at is a failure lost.
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace ondrel::platform {

template <typename T, typename Why>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Why why) noexcept(std::is_nothrow_move_constructible_v<Why>) : why_(std::move(why)) {}

    explicit operator bool() const noexcept { return value_.has_value(); }
    bool has_value() const noexcept { return value_.has_value(); }
    T& operator*() noexcept { return *value_; }
    const T& operator*() const noexcept { return *value_; }
    T* operator->() noexcept { return &*value_; }
    const T* operator->() const noexcept { return &*value_; }
    const Why& failure() const noexcept { return why_; }

    operator std::optional<T>() const& { return value_; }
    operator std::optional<T>() && { return std::move(value_); }

private:
    std::optional<T> value_;
    Why why_{};
};

// Why a step of the command failed, in words for the person who ran it.
// A type of its own, so that a result whose value is text still tells its
// value from its reason.
struct Reason {
    std::string text;
};

// The value of a step that gives nothing back when it succeeds.
struct Done {};

// A step that succeeds with nothing to give, or says why it failed.
using Outcome = Result<Done, Reason>;

}  // namespace ondrel::platform
