// The one owner of OS handles: released exactly once, whatever the path.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "platform/handle.h"
#ifdef _WIN32
#include "platform/win32/handles.h"
#include "tests/support/test_files.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/descriptor.h"
#endif

namespace {

std::vector<int> g_released;

struct CountingTraits {
    using Value = int;
    static Value Invalid() noexcept { return 0; }
    static void Release(Value value) noexcept { g_released.push_back(value); }
};
using Owned = ondrel::platform::UniqueHandle<CountingTraits>;

TEST(UniqueHandle, ReleasesEachHandleOnceOnEveryPath) {
    g_released.clear();
    {
        Owned none;
        EXPECT_FALSE(none);
        Owned a(1);
        Owned b(2);
        EXPECT_TRUE(a);
        Owned moved(std::move(a));  // a gives 1 up
        EXPECT_FALSE(a);
        EXPECT_EQ(moved.Get(), 1);
        b = std::move(moved);  // b releases 2 and takes 1
        EXPECT_EQ(g_released, std::vector<int>{2});
        Owned& same = b;
        b = std::move(same);  // moved onto itself: no release of the handle held
        EXPECT_EQ(b.Get(), 1);
        Owned c(3);
        EXPECT_EQ(c.Release(), 3);  // given up: never released by the owner
        Owned d(4);
        d.Reset(5);
        d.Reset();
        EXPECT_FALSE(d);
    }
    EXPECT_EQ(g_released, (std::vector<int>{2, 4, 5, 1}));
}

#ifdef _WIN32
TEST(FileHandle, Closes) {
    ondrel::testing::TempDir dir;
    const std::string path = dir.Write("f.bin", "x");
    {
        ondrel::platform::FileHandle file(
            CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
    }
    // Closed: the file opens again without sharing.
    ondrel::platform::FileHandle again(
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(again);
}
#else
TEST(Descriptor, Closes) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        ondrel::platform::Descriptor readEnd(fds[0]), writeEnd(fds[1]);
    }
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
}
#endif

}  // namespace
