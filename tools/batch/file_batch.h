#pragma once
// Files read once each, many at a time on one thread: verify and make
// --manifest. Files are opened and their first chunks read a batch at a
// time (platform/open_many.h). A file's bytes go through the multi-lane MD5
// scheduler (checksums/md5_lanes.h), which keeps a file in each lane and
// refills a lane when its file ends, and through CRC-32 from the same
// chunks; the CRC32 and MD5 rules of the file's check list then answer from
// what was read instead of reading the file again, and the rules that read
// ranges or the image read the bytes kept for them (within a budget; beyond
// it they read the file as they always do). The INI and size rules ask the
// system as they always do, and a file that could not be read here (not a
// regular file, not found, locked, a read that failed) is left to the rules
// entirely, so a verdict is exactly the one the rules give on their own.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "checks/rule.h"
#include "checksums/md5.h"
#include "checksums/md5_lanes.h"
#include "platform/file.h"
#include "platform/reader.h"

namespace ondrel::tool {

// What a check list needs of its file's bytes.
struct ReadNeeds {
    bool crc32 = false;  // a CRC32 entry
    bool md5 = false;    // an MD5 entry
    bool bytes = false;  // a rule that reads ranges or the image: the bytes are kept for it
    bool Any() const noexcept { return crc32 || md5 || bytes; }
    // These needs and those of a rule, from what its row reads.
    void Add(const Keyword& rule) noexcept;
};
// The needs of a check list's entries (keywords in any letter case).
ReadNeeds NeedsOf(const std::string& checkList);

// What one complete read of a regular file gave: every byte up to the size
// it had when it was opened.
struct FileRead {
    std::string_view name;            // the name it was opened by
    platform::FileIdentity identity;  // when it was opened
    std::optional<std::uint32_t> crc32;
    std::optional<Md5Digest> md5;
    // The bytes, when they were needed and kept (within the batch's budget).
    std::optional<platform::FileBytes> bytes;
    // What the rules may take from it instead of reading the file again.
    KnownDigests Known() const;
};

// The lanes the tool digests with: the fastest this machine runs, or, for
// benchmarks, the core that the environment variable ONDREL_MD5_LANES
// names ("one-stream", "sse2", "avx2", "avx512") with that core's own
// interleave. A name of no core, or of one the machine lacks, is ignored.
inline constexpr const char* kLanesVariable = "ONDREL_MD5_LANES";
Md5LaneSetup ToolLaneSetup();

// One item of work: the name of its file and what its list needs. Nothing
// is read for an item that needs nothing.
struct ReadPlan {
    const std::string* name = nullptr;
    ReadNeeds needs;
};

// What a source of items answers when asked for the next one: an item;
// none right now (ask again later); none any more.
enum class Claim { Got, NotNow, Ended };

// The caller's side of a batch. Calls come from the thread that runs it.
class BatchItems {
public:
    virtual ~BatchItems() = default;
    // Claims the next item; false when none is left (then not asked again).
    virtual bool Next(std::size_t& item) = 0;
    // As Next, for items that may come later: without mayWait, NotNow when
    // none is there yet, rather than waiting for one. The batch asks so
    // while it holds files, which it then goes on with before it asks
    // again: the next item may wait for one of them to be done.
    virtual Claim TryNext(std::size_t& item, bool mayWait) {
        (void)mayWait;
        return Next(item) ? Claim::Got : Claim::Ended;
    }
    virtual ReadPlan Plan(std::size_t item) = 0;
    // The item is done with: read is what was read of its file, or null
    // when nothing was (nothing needed, not opened as a regular file, a read
    // failed), and the rules are to read it themselves.
    virtual void Done(std::size_t item, const FileRead* read) = 0;
};

// The files of one thread. Holds a head buffer for the first bytes and a
// buffer of a chunk for the rest of each file in flight (at most the
// scheduler's lanes, and at most `most`, so that threads share a handful of
// files) and of each file opened and waiting for a lane.
class FileBatch {
public:
    FileBatch(Md5LaneSetup setup, std::size_t most);
    ~FileBatch();
    FileBatch(const FileBatch&) = delete;
    FileBatch& operator=(const FileBatch&) = delete;

    // Files in flight at most.
    std::size_t InFlight() const noexcept;
    // Takes items until TryNext says there are none, and hands each to
    // Done once its file is read (or could not be). Waits for an item only
    // while it holds no file. Throws what Done throws, and std::bad_alloc.
    void Run(BatchItems& items);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ondrel::tool
