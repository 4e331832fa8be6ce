// Overlapping calls: several threads run mixed rules ("MD5", "SECMD5",
// "CRC32", "SIZEMD5", "INI") over names they share and names of their own,
// each call from a fresh library state, and every answer must equal the one
// the same call gave when the calls ran one at a time. On Windows the calls
// go to the deliverable DLL; elsewhere to the export linked into this
// program, which the native test command also builds with ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "ondrel.h"
#include "tests/support/digests.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>

#include <cstring>
#else
#include "checks/caches.h"
#include "platform/reader.h"
#endif

using ondrel::testing::DigestOfBytes;
using ondrel::testing::PeImage;
using ondrel::testing::TempDir;

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 2;  // the first round fills the caches, later ones find

// The library with empty caches, as a host sees it after loading it.
class FreshLibrary {
public:
#ifdef _WIN32
    FreshLibrary() : module_(LoadLibraryA("ondrel.dll")) {
        if (!module_) return;
        FARPROC proc = GetProcAddress(module_, "AdvancedCheck");
        static_assert(sizeof check_ == sizeof proc);
        std::memcpy(&check_, &proc, sizeof check_);
    }
    ~FreshLibrary() {
        if (module_) FreeLibrary(module_);  // the caches go with it
    }
#else
    FreshLibrary() : check_(&AdvancedCheck) { ondrel::ResetCachesForTests(); }  // made again on first use
    ~FreshLibrary() { ondrel::ResetCachesForTests(); }
#endif
    FreshLibrary(const FreshLibrary&) = delete;
    FreshLibrary& operator=(const FreshLibrary&) = delete;
    AdvancedCheckFn Check() const { return check_; }

private:
#ifdef _WIN32
    HMODULE module_;
#endif
    AdvancedCheckFn check_ = nullptr;
};

struct Call {
    std::string file;
    std::string list;
    int intended;  // the answer the list was written for
};

// Calls that a cache answers without reading, once the name was checked.
std::vector<Call> g_cacheable;

std::string Bytes(int variant, std::size_t length) {
    std::mt19937 random(static_cast<unsigned>(variant));
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::string Crc(const std::string& bytes) { return ondrel::Crc32ToHex(ondrel::Crc32(0, bytes.data(), bytes.size())); }

// The calls on one file: right and wrong values of every rule kind, alone
// and in lists. The file is a PE image when sections are given.
void AddCalls(std::vector<Call>& calls, const std::string& file, const std::string& bytes,
              const std::string& sectionBytes, bool image) {
    const std::string md5 = DigestOfBytes(bytes);
    const std::string sec = image ? DigestOfBytes(sectionBytes) : "";
    const std::string head = DigestOfBytes(bytes.substr(0, 10));
    const std::string wrong = DigestOfBytes("wrong");
    calls.push_back({file, "MD5=" + md5, 1});
    calls.push_back({file, "MD5=" + wrong, 0});
    calls.push_back({file, "SECMD5=" + sec, 1});
    calls.push_back({file, "SECMD5=" + wrong, 0});
    calls.push_back({file, "CRC32=" + Crc(bytes), 1});
    calls.push_back({file, "SIZEMD5=0|9|" + head, 1});
    calls.push_back({file, "MD5=" + md5 + ",SECMD5=" + sec + ",CRC32=" + Crc(bytes) + ",SIZEMD5=0|9|" + head, 1});
    calls.push_back({file, "SECMD5=" + sec + ",MD5=" + wrong + ",CRC32=" + Crc(bytes), 0});
    g_cacheable.push_back({file, "MD5=" + md5, 1});
    if (image) g_cacheable.push_back({file, "SECMD5=" + sec, 1});
}

class ThreadStress : public ::testing::Test {
protected:
    TempDir dir;
    // The export linked in here judges the files settled at once; the DLL's
    // clock cannot be moved, so SetUp waits until the files' change times
    // are two seconds old.
    ondrel::testing::ClockAhead settled;
    std::vector<Call> shared;                      // made by every thread
    std::vector<std::vector<Call>> own{kThreads};  // made by one thread each

    void SetUp() override {
        // Names of the same file spelled differently are different cache
        // names. The caches may keep the files' digests (see settled).
        g_cacheable.clear();
        int serial = 0;
        auto addFile = [&](std::vector<Call>& calls, const std::string& stem) {
            const int variant = serial++;
            const bool image = variant % 2 == 0;
            std::string bytes, sectionBytes;
            if (image) {
                const std::string code = Bytes(variant, 700 + static_cast<std::size_t>(variant));
                const std::string data = Bytes(variant + 1000, 300);
                PeImage pe;
                pe.sections = {{".text", code}, {".data", data}};
                bytes = pe.Bytes();
                sectionBytes = code + data;
            } else {
                bytes = Bytes(variant, 2000 + static_cast<std::size_t>(variant));
            }
            const std::string name = stem + (image ? ".dll" : ".bin");
            const std::string path = dir.WriteAged(name, bytes);
            const std::string folder = path.substr(0, path.size() - name.size());
            for (const std::string& spelling : {path, folder + "." + path.substr(folder.size() - 1)})
                AddCalls(calls, spelling, bytes, sectionBytes, image);
        };
        for (int i = 0; i < 12; ++i) addFile(shared, "shared" + std::to_string(i));
        // A name with "=" is a name like any other.
        addFile(shared, "with=equals");
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < 10; ++i) addFile(own[t], "thread" + std::to_string(t) + "-" + std::to_string(i));
        const std::string text = "[main]\nname=Alpha Beta\n[other]\npath=C:\\x\n";
        const std::string ini = dir.WriteAged("settings.ini", text);
        shared.push_back({ini, "INI=alpha", 1});
        shared.push_back({ini, "INI=c:\\x", 1});
        shared.push_back({ini, "INI=gamma", 0});
        shared.push_back({ini, "INI=beta,MD5=" + DigestOfBytes(text), 1});
        shared.push_back({ini, "MD5=" + DigestOfBytes(text) + ",INI=other", 0});
#ifdef _WIN32
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
#endif
    }

    // Every call a thread makes, in its own order.
    std::vector<const Call*> Plan(int thread) const {
        std::vector<const Call*> plan;
        for (const Call& call : shared) plan.push_back(&call);
        for (const Call& call : own[thread]) plan.push_back(&call);
        std::mt19937 random(static_cast<unsigned>(thread) * 7919u + 1u);
        std::vector<const Call*> rounds;
        for (int round = 0; round < kRounds; ++round) {
            std::shuffle(plan.begin(), plan.end(), random);
            rounds.insert(rounds.end(), plan.begin(), plan.end());
        }
        return rounds;
    }
};

TEST_F(ThreadStress, OverlappingCallsAnswerAsCallsOneAtATime) {
    // One at a time: every thread's plan in turn.
    std::vector<std::vector<int>> serial(kThreads);
    {
        FreshLibrary library;
        ASSERT_NE(library.Check(), nullptr);
        for (int t = 0; t < kThreads; ++t)
            for (const Call* call : Plan(t)) serial[t].push_back(library.Check()(call->file.c_str(), call->list.c_str()));
    }
    for (int t = 0; t < kThreads; ++t) {
        const std::vector<const Call*> plan = Plan(t);
        for (std::size_t i = 0; i < plan.size(); ++i)
            ASSERT_EQ(serial[t][i], plan[i]->intended) << plan[i]->file << " " << plan[i]->list;
    }

    // All at once, from a fresh library again.
    std::vector<std::vector<int>> overlapping(kThreads);
    {
        FreshLibrary library;
        ASSERT_NE(library.Check(), nullptr);
        const AdvancedCheckFn check = library.Check();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (const Call* call : Plan(t)) overlapping[t].push_back(check(call->file.c_str(), call->list.c_str()));
            });
        for (std::thread& thread : threads) thread.join();
#ifndef _WIN32
        // Nothing lost: with every read failing, each name's digests still
        // answer from the caches.
        ondrel::platform::FailReadsAfter(0);
        for (const Call& call : g_cacheable)
            EXPECT_EQ(check(call.file.c_str(), call.list.c_str()), call.intended) << call.file << " " << call.list;
        ondrel::platform::StopFailingReads();
#endif
    }
    for (int t = 0; t < kThreads; ++t) {
        const std::vector<const Call*> plan = Plan(t);
        ASSERT_EQ(overlapping[t].size(), plan.size());
        for (std::size_t i = 0; i < plan.size(); ++i)
            EXPECT_EQ(overlapping[t][i], serial[t][i]) << "thread " << t << ": " << plan[i]->file << " " << plan[i]->list;
    }
}

}  // namespace
