#include "tests/support/test_files.h"

#include <ctime>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>

#include "platform/file.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace ondrel::testing {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
#ifdef _WIN32
    unsigned long pid = GetCurrentProcessId();
#else
    unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    path_ = fs::temp_directory_path() /
            ("ondrel-test-" + std::to_string(pid) + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const { return (path_ / std::string(name)).string(); }

std::string TempDir::Write(std::string_view name, std::string_view bytes) const {
    std::string path = File(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string CountingBytes(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i & 0xFF);
    return bytes;
}

void MakeSparseFile(const std::string& path, std::uint64_t size) {
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
    DWORD ignored = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size - 1);
    DWORD written = 0;
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && WriteFile(h, "x", 1, &written, nullptr) && written == 1;
    CloseHandle(h);
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    bool ok = pwrite(fd, "x", 1, static_cast<off_t>(size - 1)) == 1;
    close(fd);
#endif
    if (!ok) throw std::runtime_error("cannot extend " + path);
}

void SetLastWriteTime(const std::string& path, std::int64_t unixSeconds) {
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
    ULONGLONG ticks = static_cast<ULONGLONG>(unixSeconds + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    bool ok = SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
#else
    struct timespec times[2] = {{static_cast<time_t>(unixSeconds), 0}, {static_cast<time_t>(unixSeconds), 0}};
    bool ok = utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
    if (!ok) throw std::runtime_error("cannot set the time of " + path);
}

void Age(const std::string& path, std::int64_t seconds) {
    SetLastWriteTime(path, static_cast<std::int64_t>(std::time(nullptr)) - seconds);
}

ClockAhead::ClockAhead(std::int64_t seconds) : before_(platform::ClockAheadForTests()) {
    platform::SetClockAheadForTests(seconds);
}

ClockAhead::~ClockAhead() { platform::SetClockAheadForTests(before_); }

std::string TempDir::WriteAged(std::string_view name, std::string_view bytes, std::int64_t seconds) const {
    std::string path = Write(name, bytes);
    Age(path, seconds);
    return path;
}

}  // namespace ondrel::testing
