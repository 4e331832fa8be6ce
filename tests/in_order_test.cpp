// The streaming pool of verify and make with small windows: items made on
// the calling thread at most a window ahead, results in item order across
// refills, failures on either side of a refill, the calling thread alone,
// and a batch holding a large file while the window fills; and manifests
// read a block at a time, as they are read whole.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "checksums/hex.h"
#include "tests/support/digests.h"
#include "tests/support/test_files.h"
#include "tools/batch/in_order.h"
#include "tools/manifest/manifest.h"
#include "tools/manifest/text_file.h"

namespace ondrel::tool {
namespace {

using ondrel::testing::CountingBytes;
using ondrel::testing::DigestOfBytes;
using ondrel::testing::TempDir;

// Ends the test program when a run takes longer than it should: a pool
// that waits for itself would otherwise hang until the suite's timeout.
class Deadline {
public:
    explicit Deadline(std::chrono::seconds limit)
        : watcher_([this, limit] {
              std::unique_lock<std::mutex> hold(lock_);
              if (!ended_.wait_for(hold, limit, [this] { return over_; })) {
                  std::cerr << "the run did not end within " << limit.count() << " s: a deadlock\n";
                  std::_Exit(3);
              }
          }) {}
    ~Deadline() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            over_ = true;
        }
        ended_.notify_one();
        watcher_.join();
    }

private:
    std::mutex lock_;
    std::condition_variable ended_;
    bool over_ = false;
    std::thread watcher_;
};

class FailingThreadStarts {
public:
    explicit FailingThreadStarts(long after) { FailThreadStartsAfter(after); }
    ~FailingThreadStarts() { StopFailingThreadStarts(); }
};

// What a stream saw: items made (and on which thread), results emitted.
struct Watched {
    std::mutex lock;
    std::vector<std::size_t> emitted;
    std::size_t made = 0;
    std::size_t mostAhead = 0;  // items made beyond the results emitted, at most
    bool madeElsewhere = false;  // an item made off the calling thread
    std::vector<std::string> notes;
};

// A source of `count` items that records how far ahead of the output it is.
std::function<bool(std::size_t&)> WatchedSource(Watched& w, std::size_t count, std::thread::id caller) {
    return [&w, count, caller](std::size_t& item) {
        std::lock_guard<std::mutex> hold(w.lock);
        if (w.made == count) return false;
        if (std::this_thread::get_id() != caller) w.madeElsewhere = true;
        item = w.made++;
        w.mostAhead = std::max(w.mostAhead, w.made - w.emitted.size());
        return true;
    };
}

// ---- order and the window ----

struct WindowCase {
    std::string name;
    std::size_t window;
    unsigned threads;
    long starts;  // thread starts before they fail; negative: none fails
    std::size_t items;
};

class Window : public ::testing::TestWithParam<WindowCase> {};

TEST_P(Window, ResultsInOrderAcrossRefillsAndNeverMoreThanAWindowAhead) {
    const WindowCase& c = GetParam();
    FailingThreadStarts failing(c.starts);
    Watched w;
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::size_t> emittedBeforeWork(c.items);
    StreamInOrder<std::size_t, std::size_t>(
        c.threads, c.window, WatchedSource(w, c.items, caller),
        [&](const std::size_t& i) {
            {
                std::lock_guard<std::mutex> hold(w.lock);
                emittedBeforeWork[i] = w.emitted.size();
            }
            // Later items of a window finish first.
            const std::size_t span = std::min<std::size_t>(c.window, 8);
            std::this_thread::sleep_for(std::chrono::microseconds(20 * (span - i % span)));
            return i * 7;
        },
        [&](std::size_t& i, std::size_t& r) {
            EXPECT_EQ(r, i * 7);
            std::lock_guard<std::mutex> hold(w.lock);
            w.emitted.push_back(i);
        },
        [](std::size_t) {}, [&](const std::string& note) { w.notes.push_back(note); });
    ASSERT_EQ(w.emitted.size(), c.items);
    for (std::size_t i = 0; i < c.items; ++i) ASSERT_EQ(w.emitted[i], i);
    EXPECT_LE(w.mostAhead, c.window);
    EXPECT_FALSE(w.madeElsewhere) << "items are made on the calling thread";
    EXPECT_EQ(w.notes.size(), c.starts >= 0 ? 1u : 0u);
    if (c.starts == 0) {  // alone: each result went out before the next item was begun
        for (std::size_t i = 0; i < c.items; ++i) ASSERT_EQ(emittedBeforeWork[i], i) << "item " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pool, Window,
    ::testing::Values(WindowCase{"OneOnOneThread", 1, 1, -1, 300}, WindowCase{"OneOnThreeThreads", 1, 3, -1, 300},
                      WindowCase{"TwoOnTwoThreads", 2, 2, -1, 400}, WindowCase{"ThreeOnThreeThreads", 3, 3, -1, 400},
                      WindowCase{"FourOnTwoThreads", 4, 2, -1, 1000},
                      WindowCase{"LargerThanTheItems", 5000, 3, -1, 200},
                      WindowCase{"OneOfThreeThreadsStarts", 2, 3, 1, 300},
                      WindowCase{"CallingThreadAloneWindowOne", 1, 3, 0, 200},
                      WindowCase{"CallingThreadAloneWindowThree", 3, 2, 0, 300}),
    ondrel::testing::CaseName());

// ---- failures on either side of a refill ----

enum class Fails { Worker, Emit, Source, Idle };

struct FailureCase {
    std::string name;
    std::size_t window;
    unsigned threads;
    long starts;
    Fails where;
    std::size_t at;  // the item it fails at (for Idle: once this many results are done)
};

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, StopsTheWorkAfterTheResultsBeforeIt) {
    const FailureCase& c = GetParam();
    FailingThreadStarts failing(c.starts);
    constexpr std::size_t kItems = 3000;
    std::atomic<std::size_t> worked{0};
    std::vector<std::size_t> emitted;
    std::size_t made = 0;
    const std::function<bool(std::size_t&)> next = [&](std::size_t& item) {
        if (made == kItems) return false;
        if (c.where == Fails::Source && made == c.at) throw std::runtime_error("read failed");
        item = made++;
        return true;
    };
    bool threw = false;
    try {
        StreamInOrder<std::size_t, std::size_t>(
            c.threads, c.window, next,
            [&](const std::size_t& i) -> std::size_t {
                ++worked;
                if (c.where == Fails::Worker && i == c.at) throw std::bad_alloc();
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                return i;
            },
            [&](std::size_t& i, std::size_t&) {
                if (c.where == Fails::Emit && i == c.at) throw std::runtime_error("write failed");
                emitted.push_back(i);
            },
            [&](std::size_t done) {
                if (c.where == Fails::Idle && done >= c.at) throw std::runtime_error("flush failed");
            });
    } catch (const std::bad_alloc&) {
        threw = c.where == Fails::Worker;
    } catch (const std::runtime_error&) {
        threw = c.where != Fails::Worker;
    }
    EXPECT_TRUE(threw);
    for (std::size_t i = 0; i < emitted.size(); ++i) ASSERT_EQ(emitted[i], i);
    switch (c.where) {
        case Fails::Worker:
        case Fails::Emit:  // every result before the failing item went out, none after it
            EXPECT_EQ(emitted.size(), c.at);
            EXPECT_LE(worked.load(), c.at + c.window) << "the work stops within a window";
            break;
        case Fails::Source:  // no item after it was made
            EXPECT_LE(emitted.size(), c.at);
            EXPECT_LE(worked.load(), c.at);
            break;
        case Fails::Idle:
            EXPECT_GE(emitted.size() + c.window, c.at);
            EXPECT_LT(worked.load(), kItems);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pool, Failure,
    ::testing::Values(FailureCase{"WorkerAtTheWindowsLastItem", 4, 2, -1, Fails::Worker, 7},
                      FailureCase{"WorkerAtTheNextWindowsFirst", 4, 2, -1, Fails::Worker, 8},
                      FailureCase{"WorkerWindowOne", 1, 3, -1, Fails::Worker, 5},
                      FailureCase{"WorkerCallingThreadAlone", 3, 2, 0, Fails::Worker, 6},
                      FailureCase{"EmitAtTheWindowsLastItem", 2, 2, -1, Fails::Emit, 5},
                      FailureCase{"EmitAtTheNextWindowsFirst", 2, 2, -1, Fails::Emit, 6},
                      FailureCase{"EmitCallingThreadAlone", 2, 1, 0, Fails::Emit, 4},
                      FailureCase{"SourceAtARefill", 3, 2, -1, Fails::Source, 9},
                      FailureCase{"SourceCallingThreadAlone", 3, 2, 0, Fails::Source, 10},
                      FailureCase{"IdleOnThreeThreads", 2, 3, -1, Fails::Idle, 20}),
    ondrel::testing::CaseName());

// ---- a batch holding a large file while the window fills ----

struct BatchCase {
    std::string name;
    std::size_t window;
    unsigned threads;
    long starts;
    std::vector<std::size_t> large;  // which files are large
};

class BatchWindow : public ::testing::TestWithParam<BatchCase> {};

// The oldest item's file is large: the batch that holds it must go on with
// it while the window is full of small files done long ago, rather than
// wait for an item that cannot come before it is done.
TEST_P(BatchWindow, ALargeFileInFlightWhileTheWindowFillsEndsInOrder) {
    const BatchCase& c = GetParam();
    TempDir dir;
    constexpr std::size_t kFiles = 120;
    std::vector<std::string> names, digests;
    for (std::size_t i = 0; i < kFiles; ++i) {
        const bool large = std::find(c.large.begin(), c.large.end(), i) != c.large.end();
        const std::string bytes = CountingBytes(large ? (12u << 20) + i : 100 + i);
        names.push_back(dir.Write("f" + std::to_string(i), bytes));
        digests.push_back(DigestOfBytes(bytes));
    }
    ASSERT_LT(c.window, names.size());
    FailingThreadStarts failing(c.starts);
    Deadline deadline(std::chrono::seconds(120));
    std::size_t made = 0;
    std::vector<std::size_t> emitted;
    StreamFilesInOrder<std::size_t, std::string>(
        c.threads, c.window,
        [&](std::size_t& item) {
            if (made == kFiles) return false;
            item = made++;
            return true;
        },
        [&](const std::size_t& i) { return ReadPlan{&names[i], {false, true, false}}; },
        [&](const std::size_t&, const FileRead* read) { return read && read->md5 ? DigestText(*read->md5) : std::string(); },
        [&](std::size_t& i, std::string& digest) {
            EXPECT_EQ(digest, digests[i]) << names[i];
            emitted.push_back(i);
        },
        [](std::size_t) {});
    ASSERT_EQ(emitted.size(), kFiles);
    for (std::size_t i = 0; i < kFiles; ++i) ASSERT_EQ(emitted[i], i);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, BatchWindow,
    ::testing::Values(BatchCase{"OneThreadWindowFour", 4, 1, -1, {0}}, BatchCase{"TwoThreadsWindowEight", 8, 2, -1, {0, 50}},
                      BatchCase{"ThreeThreadsWindowTwo", 2, 3, -1, {1, 60}},
                      BatchCase{"TwoThreadsWindowSixteenLargeInTheMiddle", 16, 2, -1, {40}},
                      BatchCase{"CallingThreadAloneWindowFour", 4, 2, 0, {0, 30}},
                      BatchCase{"CallingThreadAloneWindowOne", 1, 1, 0, {2}}),
    ondrel::testing::CaseName());

// ---- lines a block at a time ----

struct LinesCase {
    std::string name;
    std::string text;
    std::vector<std::string> lines;
};

class Lines : public ::testing::TestWithParam<LinesCase> {};

std::vector<std::string> LinesOf(LineReader& reader) {
    std::vector<std::string> lines;
    std::size_t number = 0;
    while (const std::optional<TextLine> line = reader.Next()) {
        EXPECT_EQ(line->number, ++number);
        lines.emplace_back(line->text);
    }
    EXPECT_FALSE(reader.Failure());
    return lines;
}

TEST_P(Lines, EveryBlockSizeGivesTheLinesOfTheWholeText) {
    const LinesCase& c = GetParam();
    std::vector<std::string> whole;
    for (const TextLine& line : SplitLines(c.text)) whole.emplace_back(line.text);
    EXPECT_EQ(whole, c.lines);
    for (std::size_t block : {1, 2, 3, 4, 5, 7, 64}) {
        std::istringstream in(c.text);
        LineReader reader(in, block);
        EXPECT_EQ(LinesOf(reader), c.lines) << "block " << block;
        EXPECT_EQ(reader.Consumed(), c.text.size()) << "block " << block;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reading, Lines,
    ::testing::Values(LinesCase{"Empty", "", {}}, LinesCase{"OneLine", "abc\n", {"abc"}},
                      LinesCase{"NoFinalLineFeed", "abc\ndefgh", {"abc", "defgh"}},
                      LinesCase{"LinesAcrossBlocks", "MD5=1\tf/one\nMD5=22\tf/two\n\nx\n", {"MD5=1\tf/one", "MD5=22\tf/two", "", "x"}},
                      LinesCase{"CrLfOnEveryEdge", "a\r\nbc\r\ndef\r\n\r\n", {"a", "bc", "def", ""}},
                      LinesCase{"CrAtTheEndWithoutLineFeed", "a\r\nb\r", {"a", "b"}},
                      LinesCase{"CrWithinALineStays", "a\rb\n\r\r\n", {"a\rb", "\r"}},
                      LinesCase{"ByteOrderMark", "\xEF\xBB\xBF" "a\nb\n", {"a", "b"}},
                      LinesCase{"ByteOrderMarkAlone", "\xEF\xBB\xBF", {}},
                      LinesCase{"ByteOrderMarkThenLineFeed", "\xEF\xBB\xBF\n", {""}},
                      LinesCase{"ByteOrderMarkOnlyAtTheStart", "a\n\xEF\xBB\xBF" "b\n", {"a", "\xEF\xBB\xBF" "b"}},
                      LinesCase{"PartOfAByteOrderMark", "\xEF\xBB" "a\n", {"\xEF\xBB" "a"}},
                      LinesCase{"LongerThanTheBlocks", std::string(1000, 'x') + "\nyz\n" + std::string(300, 'w'),
                                {std::string(1000, 'x'), "yz", std::string(300, 'w')}}),
    ondrel::testing::CaseName());

// A list by name: the lines ReadText's text gives, and why it cannot be
// read in ReadText's words.
TEST(LineReader, AListByNameAsReadTextReadsIt) {
    TempDir dir;
    std::string text = "\xEF\xBB\xBF# list\r\n";
    for (int i = 0; i < 3000; ++i) text += "FILESIZE=" + std::to_string(i) + "\tf/" + std::to_string(i) + (i % 3 ? "\n" : "\r\n");
    const std::string list = dir.Write("list", text);
    std::vector<std::string> whole;
    const platform::Result<std::string, platform::Reason> read = ReadText(list, "manifest");
    ASSERT_TRUE(read);
    for (const TextLine& line : SplitLines(*read)) whole.emplace_back(line.text);
    LineReader reader(list, "manifest", 1000);
    EXPECT_EQ(LinesOf(reader), whole);
    EXPECT_EQ(reader.Consumed(), text.size());
    for (const std::string& name : {dir.File("nothing-here"), dir.Path().string()}) {
        const platform::Result<std::string, platform::Reason> unread = ReadText(name, "manifest");
        ASSERT_FALSE(unread) << name;
        LineReader none(name, "manifest");
        EXPECT_FALSE(none.Next()) << name;
        ASSERT_TRUE(none.Failure()) << name;
        EXPECT_EQ(none.Failure()->text, unread.failure().text) << name;
    }
}

// A manifest line at a time gives what ParseManifest gives of the whole:
// roots, damage, numbers.
TEST(ManifestReader, LineByLineAsTheWholeManifest) {
    const std::string text =
        "\xEF\xBB\xBF# made\n"
        "MD5=1\ta/one\r\n"
        "#root\ttree\n"
        "no tab here\n"
        "   \n"
        "CRC32=2\tsub\\tdir/two\n"
        "#root-from-list\t.\n"
        "MD5=3\t\n"
        "#root\tbad\\q\n"
        "FILESIZE=4\tlast";
    const ManifestLines whole = ParseManifest(text);
    ASSERT_EQ(whole.size(), 6u);
    for (std::size_t block : {1, 3, 16}) {
        std::istringstream in(text);
        LineReader lines(in, block);
        ManifestReader reader;
        std::vector<ManifestLine> streamed;
        ManifestLine line;
        while (const std::optional<TextLine> t = lines.Next())
            if (reader.Read(*t, line)) streamed.push_back(line);
        ASSERT_EQ(streamed.size(), whole.size()) << "block " << block;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            EXPECT_EQ(streamed[i].number, whole[i].number) << i;
            EXPECT_EQ(streamed[i].checkList, whole[i].checkList) << i;
            EXPECT_EQ(streamed[i].path, whole[i].path) << i;
            EXPECT_EQ(streamed[i].damage, whole[i].damage) << i;
            EXPECT_EQ(streamed[i].root.dir, whole[i].root.dir) << i;
            EXPECT_EQ(streamed[i].root.from, whole[i].root.from) << i;
        }
    }
    // The roots and damage the lines set, in order.
    EXPECT_EQ(whole[0].root.dir, "");
    EXPECT_EQ(whole[2].path, "sub\tdir/two");
    EXPECT_EQ(whole[2].root.dir, "tree");
    EXPECT_EQ(whole[3].damage, "no path after the TAB");
    EXPECT_EQ(whole[3].root.from, ManifestRoot::From::ListFolder);
    EXPECT_EQ(whole[4].damage.rfind("root line: ", 0), 0u);
    EXPECT_EQ(whole[5].number, 10u);
    EXPECT_EQ(whole[5].root.dir, ".");
}

}  // namespace
}  // namespace ondrel::tool
