#pragma once
// Tests that must run in a process of their own: one that may hang, die of
// a signal, or run under limits (address space, descriptors, stack).
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <string>

namespace ondrel::testing {

// Runs the tests of this program that the filter names in a child process
// and answers whether they passed within the deadline; a child that is
// still running then is killed, and one killed by a signal is reported.
// The child's tests run only where InChild(), so that they cannot hang the
// program that runs them directly.
bool ChildPassesWithin(const std::string& filter, std::chrono::seconds deadline);

inline bool InChild() { return std::getenv("ONDREL_CHILD") != nullptr; }

#ifndef _WIN32
// Limits the address space of this (child) process to what it holds now and
// `more` bytes; a failure to set it fails the test.
void LimitAddressSpaceToNowAnd(std::size_t more);
#endif

// True in a build whose sanitizer needs far more address space than a
// limited child has.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace ondrel::testing

#define ONDREL_ONLY_IN_CHILD() \
    if (!::ondrel::testing::InChild()) GTEST_SKIP() << "runs in a child process"
