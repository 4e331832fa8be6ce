// Many files opened and their first bytes read at once: each result is
// what opening and reading that file alone gives, whichever way the batch
// went (io_uring, a folder's listing, stat, one at a time).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>
#include <vector>

#include "platform/open_many.h"
#include "platform/prefault.h"
#include "tests/support/test_files.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ondrel::platform {
namespace {

using ondrel::testing::CountingBytes;
using ondrel::testing::TempDir;

constexpr std::uint32_t kCapacity = 4096;

// Opens the names in one call, each with a buffer of kCapacity bytes.
struct Batch {
    explicit Batch(const std::vector<std::string>& names)
        : buffers(names.size(), std::vector<unsigned char>(kCapacity)), results(names.size()) {
        std::vector<OpenRequest> requests;
        for (std::size_t i = 0; i < names.size(); ++i)
            requests.push_back({&names[i], Share::ReadWrite, buffers[i].data(), kCapacity});
        opener.Open(requests, results);
    }
    std::string First(std::size_t i) const {
        return !results[i].firstRead ? std::string()
                                     : std::string(reinterpret_cast<const char*>(buffers[i].data()), *results[i].firstRead);
    }
    ManyFiles opener;
    std::vector<std::vector<unsigned char>> buffers;
    std::vector<OpenedFile> results;
};

// What a file gives opened alone: failed or not, why, its bytes.
void ExpectAsAlone(const std::string& name, const Batch& batch, std::size_t i) {
    Result<FileReader, OpenFailure> alone = FileReader::OpenLookedUp(name, Share::ReadWrite);
    const OpenedFile& got = batch.results[i];
    ASSERT_EQ(got.opened, static_cast<bool>(alone)) << name;
    if (!alone) {
        EXPECT_EQ(got.failure, alone.failure()) << name;
        return;
    }
    EXPECT_EQ(got.identity, alone->file().IdentityAtOpen()) << name;
    const std::uint64_t size = alone->Size();
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ASSERT_TRUE(alone->ReadAt(0, bytes.data(), bytes.size())) << name;
    ASSERT_TRUE(got.firstRead) << name;
    ASSERT_EQ(*got.firstRead, std::min<std::uint64_t>(size, kCapacity)) << name;
    EXPECT_EQ(batch.First(i), bytes.substr(0, kCapacity)) << name;
    // The rest only for a file larger than the buffer, open and readable.
    ASSERT_EQ(static_cast<bool>(got.rest), size > kCapacity) << name;
    if (size > kCapacity) {
        std::string rest(bytes.size() - kCapacity, '\0');
        ASSERT_TRUE(FileReader(std::move(const_cast<OpenedFile&>(got).rest)).ReadAt(kCapacity, rest.data(), rest.size()))
            << name;
        EXPECT_EQ(rest, bytes.substr(kCapacity)) << name;
    }
}

// A folder of every kind of entry, many of them, so that the folder is
// listed, and the names asked in an order unlike the folder's.
TEST(ManyFiles, EachResultIsWhatTheFileGivesAlone) {
    TempDir dir;
    std::vector<std::string> names;
    const std::size_t sizes[] = {0, 1, 100, kCapacity - 1, kCapacity, kCapacity + 1, 3 * kCapacity + 17, 200000};
    for (int copy = 0; copy < 20; ++copy)
        for (std::size_t size : sizes)
            names.push_back(dir.Write("f" + std::to_string(copy) + "_" + std::to_string(size),
                                      CountingBytes(size + static_cast<std::size_t>(copy))));
    std::filesystem::create_directory(dir.Path() / "folder");
    names.push_back(dir.File("folder"));
    names.push_back(dir.File("missing"));
    names.push_back(dir.File("folder") + "/missing");
    names.push_back(dir.File("f0_1") + "/under-a-file");
    names.push_back(dir.File("folder") + "/");
#ifndef _WIN32
    ASSERT_EQ(symlink(dir.File("f1_100").c_str(), dir.File("link").c_str()), 0);
    names.push_back(dir.File("link"));
    ASSERT_EQ(symlink(dir.File("missing").c_str(), dir.File("dangling").c_str()), 0);
    names.push_back(dir.File("dangling"));
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    names.push_back(dir.File("fifo"));
    names.push_back("/dev/null");
#endif
    std::reverse(names.begin() + 40, names.begin() + 120);
    const Batch batch(names);
    for (std::size_t i = 0; i < names.size(); ++i) ExpectAsAlone(names[i], batch, i);
    // And again, the folder listed now, with a file written since.
    names.push_back(dir.Write("written-after", "late"));
    const Batch again(names);
    for (std::size_t i = 0; i < names.size(); ++i) ExpectAsAlone(names[i], again, i);
}

TEST(ManyFiles, ReadsThatTheSeamFailsAreFailures) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) names.push_back(dir.Write("f" + std::to_string(i), CountingBytes(10)));
    names.push_back(dir.Write("empty", ""));
    FailReadsAfter(0);
    const Batch batch(names);
    StopFailingReads();
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        EXPECT_TRUE(batch.results[i].opened) << names[i];
        ASSERT_FALSE(batch.results[i].firstRead) << names[i];
        EXPECT_EQ(batch.results[i].firstRead.failure(), ReadFailure::Failed) << names[i];
    }
    ASSERT_TRUE(batch.results.back().firstRead);
    EXPECT_EQ(*batch.results.back().firstRead, 0u);  // nothing to read
}

#ifndef _WIN32
std::vector<OpenedFile> OpenWith(ManyFiles& opener, const std::vector<std::string>& names) {
    static std::vector<unsigned char> buffer;
    buffer.assign(kCapacity * names.size(), 0);
    std::vector<OpenRequest> requests;
    for (std::size_t i = 0; i < names.size(); ++i)
        requests.push_back({&names[i], Share::ReadWrite, buffer.data() + i * kCapacity, kCapacity});
    std::vector<OpenedFile> results(names.size());
    opener.Open(requests, results);
    return results;
}

// Something put in the place of a file after its folder was listed is
// refused before a byte of it is read.
TEST(ManyFiles, WhatTookAListedFilesPlaceIsRefused) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) names.push_back(dir.Write("f" + std::to_string(i), CountingBytes(10)));
    ManyFiles opener;
    ASSERT_TRUE(OpenWith(opener, names)[6].opened);  // the folder is listed now
    std::filesystem::remove(names[5]);
    std::filesystem::create_directory(names[5]);
    std::filesystem::remove(names[6]);
    ASSERT_EQ(mkfifo(names[6].c_str(), 0600), 0);
    const std::vector<OpenedFile> results = OpenWith(opener, names);
    EXPECT_FALSE(results[5].opened);
    EXPECT_EQ(results[5].failure, OpenFailure::NotRegular);
    EXPECT_FALSE(results[6].opened);
    EXPECT_EQ(results[6].failure, OpenFailure::NotRegular);
    EXPECT_TRUE(results[7].opened);
}

// A FIFO among many files, with a writer waiting in its open: the writer
// still waits after the batch.
TEST(ManyFiles, AFifosWaitingWriterIsNotReleased) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) names.push_back(dir.Write("f" + std::to_string(i), CountingBytes(10)));
    names.insert(names.begin() + 6, dir.File("fifo"));
    ASSERT_EQ(mkfifo(names[6].c_str(), 0600), 0);
    std::atomic<bool> released{false};
    std::thread writer([&] {
        const int fd = open(names[6].c_str(), O_WRONLY);
        released = true;
        if (fd >= 0) close(fd);
    });
    ManyFiles opener;
    const std::vector<OpenedFile> once = OpenWith(opener, names);
    const std::vector<OpenedFile> twice = OpenWith(opener, names);  // from the listing
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool waiting = !released;
    const int reader = open(names[6].c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer go
    writer.join();
    if (reader >= 0) close(reader);
    EXPECT_TRUE(waiting) << "the FIFO's writer was released";
    for (const std::vector<OpenedFile>* results : {&once, &twice}) {
        EXPECT_EQ((*results)[6].failure, OpenFailure::NotRegular);
        EXPECT_TRUE((*results)[8].opened);
    }
}
#endif

TEST(Prefault, LeavesWhatTheMemoryHolds) {
    std::vector<std::uint32_t> v(1000);
    for (std::uint32_t i = 0; i < v.size(); ++i) v[i] = i * 2654435761u;
    ReservePresent(v, 1 << 20);
    ASSERT_GE(v.capacity(), std::size_t{1} << 20);
    for (std::uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(v[i], i * 2654435761u);
    std::vector<char> bytes(1 << 20, 'x');
    PrefaultForWriting(bytes.data() + 1, bytes.size() - 2);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 'x'), static_cast<std::ptrdiff_t>(bytes.size()));
}

// Bulk arrays: below the threshold from the heap, from it on (on Linux) in
// aligned huge pages, rounded up or not; a vector that grows across it keeps
// its elements, and every allocation is freed as it was made (the sanitizer
// build checks the pairs).
TEST(Prefault, BulkArraysHoldTheirElementsOnEitherSide) {
    for (std::size_t bytes : {std::size_t{1}, kBulkFrom - 1, kBulkFrom, kHugePage, kHugePage + 1}) {
        for (BulkRounding rounding : {BulkRounding::WholeHugePages, BulkRounding::Exact}) {
            BulkBytes b = AllocateBulkBytes(bytes, rounding);
            if (InHugePages(bytes)) {
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.get()) % kHugePage, 0u) << bytes;
            }
            std::fill_n(b.get(), bytes, static_cast<unsigned char>(bytes));
            EXPECT_EQ(std::count(b.get(), b.get() + bytes, static_cast<unsigned char>(bytes)),
                      static_cast<std::ptrdiff_t>(bytes));
        }
    }
    BulkVector<std::uint64_t> v;
    for (std::uint64_t i = 0; i < 3 * kHugePage / sizeof(std::uint64_t); ++i) v.push_back(i * 0x9E3779B97F4A7C15u);
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], i * 0x9E3779B97F4A7C15u) << i;
    ReservePresent(v, v.size() * 2);
    EXPECT_EQ(v.back(), (v.size() - 1) * 0x9E3779B97F4A7C15u);
    EXPECT_THROW(v.get_allocator().allocate(std::numeric_limits<std::size_t>::max() / 4), std::bad_array_new_length);
}

}  // namespace
}  // namespace ondrel::platform
