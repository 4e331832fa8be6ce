// The deliverable loaded as a host loads it: found by name (and on Windows by
// ordinal 1), called through a pointer of the exported type.
#include <gtest/gtest.h>

#include <cstring>

#include "ondrel.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
AdvancedCheckFn AsCheck(FARPROC proc) {
    AdvancedCheckFn fn;
    static_assert(sizeof fn == sizeof proc);
    std::memcpy(&fn, &proc, sizeof fn);
    return fn;
}
struct Library {
    HMODULE module = LoadLibraryA("ondrel.dll");
    ~Library() {
        if (module) FreeLibrary(module);
    }
    AdvancedCheckFn ByName() const { return AsCheck(GetProcAddress(module, "AdvancedCheck")); }
    AdvancedCheckFn ByOrdinal(int ordinal) const {
        return AsCheck(GetProcAddress(module, MAKEINTRESOURCEA(ordinal)));
    }
};
#else
std::string BesideThisProgram(const char* name) {
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/') + 1) + name;
}
struct Library {
    void* module = dlopen(BesideThisProgram("libondrel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ~Library() {
        if (module) dlclose(module);
    }
    AdvancedCheckFn ByName() const { return reinterpret_cast<AdvancedCheckFn>(dlsym(module, "AdvancedCheck")); }
};
#endif

}  // namespace

TEST(Library, LoadsAndAnswersThroughTheExport) {
    Library lib;
    ASSERT_NE(lib.module, nullptr);
    AdvancedCheckFn check = lib.ByName();
    ASSERT_NE(check, nullptr);
#ifdef _WIN32
    EXPECT_EQ(lib.ByOrdinal(1), check);
    EXPECT_EQ(lib.ByOrdinal(2), nullptr);
#endif
    ondrel::testing::TempDir dir;
    std::string file = dir.Write("f.bin", "abc");
    // Many calls through the pointer: a wrong calling convention or stack
    // cleanup would corrupt the stack long before the loop ends.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(check(file.c_str(), "FILESIZE=3"), 1);
        ASSERT_EQ(check(file.c_str(), "FILESIZE=4"), 0);
        ASSERT_EQ(check(nullptr, nullptr), 1);
        ASSERT_EQ(check(file.c_str(), "UNKNOWN=1"), 0);
    }
}

#if defined(_WIN32) && defined(__i386__)
// 32-bit only: x86-64 has one calling convention, with no argument bytes for
// the callee to remove.
// Calls through the pointer in assembly and answers how many argument bytes
// the callee left on the stack: 0 for the standard calling convention.
unsigned BytesLeftByCallee(AdvancedCheckFn fn, const char* file, const char* list, unsigned char* result) {
    unsigned left;
    unsigned eax;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[list]\n\t"
        "pushl %[file]\n\t"
        "call *%[fn]\n\t"
        "movl %%esi, %%ecx\n\t"
        "subl %%esp, %%ecx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=c"(left), "=a"(eax)
        : [file] "r"(file), [list] "r"(list), [fn] "r"(fn)
        : "esi", "edx", "memory", "cc");
    *result = static_cast<unsigned char>(eax & 0xFF);
    return left;
}

TEST(Library, CalleeRemovesItsEightArgumentBytes) {
    Library lib;
    ASSERT_NE(lib.module, nullptr);
    unsigned char result = 9;
    EXPECT_EQ(BytesLeftByCallee(lib.ByName(), "", "FILESIZE=0", &result), 0u);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(BytesLeftByCallee(lib.ByName(), "", "FILESIZE=1", &result), 0u);
    EXPECT_EQ(result, 0);
}
#endif

TEST(Library, LoadsAgainAfterUnload) {
    for (int i = 0; i < 3; ++i) {
        Library lib;
        ASSERT_NE(lib.module, nullptr);
        EXPECT_EQ(lib.ByName()("", ""), 1);
    }
}
