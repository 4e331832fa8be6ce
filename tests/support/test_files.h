#pragma once
// Files for tests: a fresh folder per test, files written from bytes.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace ondrel::testing {

// A folder of its own under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The native path of a name inside the folder, as 8-bit text.
    std::string File(std::string_view name) const;
    // Writes the bytes to a file of that name and answers its path.
    std::string Write(std::string_view name, std::string_view bytes) const;
    // Write, then Age: a file the digest caches may keep a digest of while a
    // ClockAhead lives.
    std::string WriteAged(std::string_view name, std::string_view bytes, std::int64_t seconds = 3600) const;

private:
    std::filesystem::path path_;
};

// Bytes 0, 1, 2, ... 255, 0, 1, ... of the given length.
std::string CountingBytes(std::size_t length);

// Makes a sparse file of the given size: only its last byte is written.
void MakeSparseFile(const std::string& path, std::uint64_t size);

// Sets the file's last-write time, in seconds since 1970-01-01 UTC.
void SetLastWriteTime(const std::string& path, std::int64_t unixSeconds);

// Sets the file's last-write time to an hour ago (or seconds ago): the
// digest caches trust only files not written within the last two seconds.
// Its change time is now all the same, and no test can set that back: see
// ClockAhead.
void Age(const std::string& path, std::int64_t seconds = 3600);

// While it lives, the clock that the digest caches judge the age of a file
// by runs ahead (an hour unless told): a file written just now counts as
// settled once its last-write time was aged as well.
class ClockAhead {
public:
    explicit ClockAhead(std::int64_t seconds = 3600);
    ~ClockAhead();
    ClockAhead(const ClockAhead&) = delete;
    ClockAhead& operator=(const ClockAhead&) = delete;

private:
    std::int64_t before_;
};

// Names table-driven cases after their "name" member.
struct CaseName {
    template <typename T>
    std::string operator()(const ::testing::TestParamInfo<T>& param) const {
        return param.param.name;
    }
};

}  // namespace ondrel::testing
