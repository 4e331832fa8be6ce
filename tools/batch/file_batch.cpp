// Files read once each through the multi-lane MD5, many at a time on one
// thread; the CRC32 and MD5 rules answering from what was read.
#include "tools/batch/file_batch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <deque>
#include <vector>

#include "checks/ascii.h"
#include "checks/check_list.h"
#include "checks/rules.h"
#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "platform/open_many.h"
#include "platform/prefault.h"
#include "platform/reader.h"

namespace ondrel::tool {

namespace {

// Buffer i starts 64 × i bytes past a multiple of the page size, so that
// the lanes do not read their blocks at one offset within a page.
constexpr std::size_t kPage = 4096;
constexpr std::size_t kLargestChunk = platform::FileReader::kChunk;
// Files opened together: their opens go to the system in one call, their
// first reads and closes in another.
constexpr std::size_t kOpenAtOnce = 64;
// Chunks are as large as 4 MiB over the files a thread holds allows, so
// that they are still in the processor's cache when the lanes take them:
// 64 KiB for 64 files, 256 KiB (fewer reads) for 16. Measured on 2,000
// files of 1 byte to 4 MiB and on 16 of 64 MiB.
constexpr std::size_t kChunkBudget = 4 * 1024 * 1024;
constexpr std::size_t kSmallestChunk = 64 * 1024;
std::size_t ChunkSizeFor(std::size_t files) {
    const std::size_t size = kChunkBudget / std::max<std::size_t>(1, files) / kPage * kPage;
    return std::clamp(size, kSmallestChunk, kLargestChunk);
}
// First reads go to heads of this size, made present at the start, until a
// file goes on past its head (and its bytes are not kept); from then on
// they go to the chunk buffers, all made present at that moment. A tree of
// small files thus never touches the chunk buffers (128 of 64 KiB for 64
// files in flight), which would cost more than reading the files. 128 heads
// (64 files in flight, 64 opened) and the page of alignment fit one huge
// page.
constexpr std::size_t kHead = 16 * 1024 - 128;

// Memory for buffers of one size, each 64 bytes further into its page
// than the one before; in huge pages when it is large.
class Buffers {
public:
    Buffers(std::size_t count, std::size_t size)
        : stride_(size + 64), memory_(platform::AllocateBulkBytes(count * stride_ + kPage)) {
        const auto base = reinterpret_cast<std::uintptr_t>(memory_.get());
        first_ = memory_.get() + (kPage - base % kPage) % kPage;
    }
    unsigned char* operator[](std::size_t i) const noexcept { return first_ + i * stride_; }
    std::size_t Stride() const noexcept { return stride_; }

private:
    std::size_t stride_;
    platform::BulkBytes memory_;
    unsigned char* first_ = nullptr;
};

// Files are kept whole for such rules up to this size each, and up to this
// many bytes together on a thread; beyond, the rules read the file again.
constexpr std::uint64_t kMostKeptFile = 32 * 1024 * 1024;
constexpr std::uint64_t kMostKeptTotal = 128 * 1024 * 1024;

}  // namespace

void ReadNeeds::Add(const Keyword& rule) noexcept {
    // A whole-file checksum is answered from the read (KnownDigests): the
    // CRC-32 for the checksum family, the MD5 for the digests.
    if (rule.reads & kReadsWholeFile) {
        crc32 |= rule.family == RuleFamily::Checksum;
        md5 |= rule.family == RuleFamily::Digest;
    }
    // Ranges and the image are read from the bytes kept.
    bytes |= (rule.reads & (kReadsRanges | kReadsSections | kReadsResources)) != 0;
}

ReadNeeds NeedsOf(const std::string& checkList) {
    ReadNeeds needs;
    CheckListReader reader(checkList.c_str());
    while (std::optional<CheckListItem> item = reader.Next()) {
        const std::size_t eq = item->text.find('=');
        if (eq == std::string::npos) continue;
        std::string name = item->text.substr(0, eq);
        AsciiUpper(name);
        if (const Keyword* rule = LibraryKeyword(name)) needs.Add(*rule);
    }
    return needs;
}

KnownDigests FileRead::Known() const { return KnownDigests{crc32, md5, bytes ? &*bytes : nullptr}; }

Md5LaneSetup ToolLaneSetup() {
    Md5LaneCore core;
    const char* name = std::getenv(kLanesVariable);
    if (name && Md5LaneCoreNamed(name, core) && Md5LaneCoreRuns(core)) return Md5LaneSetupOf(core);
    return Md5LaneChosen();
}

// The scheduler's source: a slot for each file in flight or ready, with its
// head and chunk buffers, its CRC-32 so far and, while bytes past the head
// remain, its reader. Files are opened and their first chunks read a batch at a
// time (platform::ManyFiles), which a file of a few KiB costs little more
// than its one system call; then they wait, ready, for a lane.
struct FileBatch::State : Md5StreamSource {
    struct Slot {
        std::size_t item = 0;
        const std::string* name = nullptr;
        ReadNeeds needs;
        platform::FileIdentity identity;  // at open
        platform::FileReader rest;        // open while bytes past the first chunk remain
        std::uint64_t offset = 0;         // bytes handed to the lanes
        std::uint64_t waiting = 0;        // bytes in the buffer not yet handed on
        std::uint32_t crc = 0;
        unsigned char* head = nullptr;   // the first bytes, before chunks are present
        unsigned char* chunk = nullptr;  // the bytes, a chunk at a time
        unsigned char* first = nullptr;  // where the first read went
        platform::BulkBytes keptBuffer;  // the whole file, for rules that read it again
    };

    State(Md5LaneSetup setup, std::size_t atMost)
        : lanes(setup), most(std::max<std::size_t>(1, std::min<std::size_t>(atMost, static_cast<std::size_t>(lanes.Lanes())))),
          batch(std::min(kOpenAtOnce, most)), chunkSize(ChunkSizeFor(this->most)), headSize(std::min(kHead, chunkSize)), slots(most + batch),
          heads(slots.size(), headSize), chunks(slots.size(), chunkSize), results(batch) {
        platform::PrefaultForWriting(heads[0], slots.size() * heads.Stride());
        for (std::size_t i = 0; i < slots.size(); ++i) {
            slots[i].head = heads[i];
            slots[i].chunk = chunks[i];
            free.push_back(slots.size() - 1 - i);
        }
        requests.reserve(batch);
        taken.reserve(batch);
    }

    bool NextStream(Md5StreamId& id) override {
        if (ready.empty()) Open();
        if (ready.empty()) return false;
        id = ready.front();
        ready.pop_front();
        return true;
    }

    // Claims items until a batch is full (or they end, or none is there
    // yet, or the slots are all taken), and opens and reads the first chunk
    // of their files. It waits for an item only while it holds no file: an
    // item may wait for one it holds to be done.
    void Open() {
        requests.clear();
        taken.clear();
        while (!ended && requests.size() < batch && !free.empty()) {
            std::size_t item;
            const Claim got = items->TryNext(item, free.size() == slots.size());
            if (got == Claim::NotNow) break;
            if (got == Claim::Ended) {
                ended = true;
                break;
            }
            const ReadPlan plan = items->Plan(item);
            if (!plan.needs.Any()) {
                items->Done(item, nullptr);
                continue;
            }
            const std::size_t s = free.back();
            free.pop_back();
            Slot& slot = slots[s];
            slot.item = item;
            slot.name = plan.name;
            slot.needs = plan.needs;
            slot.offset = 0;
            slot.crc = 0;
            // Opened as the CRC32 rule opens it (others may not write) when
            // the list holds one, else as the MD5 rule does.
            const platform::Share share = plan.needs.crc32 ? platform::Share::Read : platform::Share::ReadWrite;
            slot.first = chunksPresent ? slot.chunk : slot.head;
            requests.push_back({plan.name, share, slot.first, static_cast<std::uint32_t>(chunksPresent ? chunkSize : headSize)});
            taken.push_back(s);
        }
        opener.Open(requests, results);
        for (std::size_t k = 0; k < taken.size(); ++k) {
            Slot& slot = slots[taken[k]];
            platform::OpenedFile& opened = results[k];
            if (!opened.opened || !opened.firstRead) {
                // Not a regular file, not found, locked, a read that failed:
                // the rules meet it again and answer as they do.
                opened = platform::OpenedFile();
                Release(taken[k]);
                items->Done(slot.item, nullptr);
                continue;
            }
            slot.identity = opened.identity;
            slot.rest = std::move(opened.rest);
            slot.waiting = *opened.firstRead;
            if (slot.needs.bytes) Keep(slot);
            ready.push_back(taken[k]);
        }
    }

    // Keeps the file's bytes as they are read, when the budget allows.
    void Keep(Slot& slot) {
        const std::uint64_t size = slot.identity.size;
        if (size > kMostKeptFile || keptTotal + size > kMostKeptTotal) return;
        try {
            // Not rounded up: 64 files of 300 KiB would hold 128 MiB.
            slot.keptBuffer = platform::AllocateBulkBytes(static_cast<std::size_t>(std::max<std::uint64_t>(size, 1)),
                                                          platform::BulkRounding::Exact);
        } catch (const std::bad_alloc&) {
            return;  // the rules read the file themselves
        }
        keptTotal += size;
    }

    Md5Chunk NextChunk(Md5StreamId id) override {
        Slot& slot = slots[static_cast<std::size_t>(id)];
        std::size_t n = static_cast<std::size_t>(slot.waiting);
        slot.waiting = 0;
        unsigned char* data = slot.first;
        if (n > 0 && slot.keptBuffer) {
            std::memcpy(slot.keptBuffer.get() + slot.offset, slot.first, n);
            data = slot.keptBuffer.get() + slot.offset;
        }
        if (n == 0) {
            const std::uint64_t left = slot.identity.size - slot.offset;
            if (left == 0) return Md5Chunk::End();
            n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunkSize));
            // A kept file is read straight into what keeps it.
            if (slot.keptBuffer) {
                data = slot.keptBuffer.get() + slot.offset;
            } else {
                if (!chunksPresent) platform::PrefaultForWriting(chunks[0], slots.size() * chunks.Stride());
                chunksPresent = true;
                data = slot.chunk;
            }
            bool read = false;
            try {
                read = slot.rest && slot.rest.ReadAt(slot.offset, data, n);
            } catch (const platform::ResourcesExhausted&) {
                // The rules meet it again and answer as they do.
            }
            if (!read) {
                const std::size_t item = slot.item;
                Release(static_cast<std::size_t>(id));
                items->Done(item, nullptr);
                return Md5Chunk::Failure();
            }
        }
        if (slot.needs.crc32) slot.crc = Crc32(slot.crc, data, n);
        slot.offset += n;
        return {{data, n}};
    }

    void Finished(Md5StreamId id, const Md5Digest& digest) override {
        Slot& slot = slots[static_cast<std::size_t>(id)];
        FileRead read{*slot.name, slot.identity, std::nullopt, std::nullopt, std::nullopt};
        if (slot.needs.crc32) read.crc32 = slot.crc;
        if (slot.needs.md5) read.md5 = digest;
        // The kept bytes live until the item is done with them.
        struct KeptHold {
            State& state;
            platform::BulkBytes bytes;
            std::uint64_t size = 0;
            ~KeptHold() { state.keptTotal -= size; }
        } hold{*this, nullptr, 0};
        if (slot.keptBuffer) {
            hold.bytes = std::move(slot.keptBuffer);
            hold.size = slot.identity.size;
            read.bytes = platform::FileBytes{{hold.bytes.get(), static_cast<std::size_t>(hold.size)}, slot.identity};
        }
        const std::size_t item = slot.item;
        Release(static_cast<std::size_t>(id));
        items->Done(item, &read);
    }

    void Release(std::size_t s) {
        Slot& slot = slots[s];
        slot.rest = platform::FileReader();
        slot.waiting = 0;
        if (slot.keptBuffer) keptTotal -= slot.identity.size;
        slot.keptBuffer.reset();
        free.push_back(s);
    }

    // After a throw: every file closed, every slot free.
    void CloseAll() {
        ready.clear();
        free.clear();
        for (std::size_t i = slots.size(); i-- > 0;) {
            slots[i].rest = platform::FileReader();
            slots[i].keptBuffer.reset();
            free.push_back(i);
        }
        for (platform::OpenedFile& r : results) r = platform::OpenedFile();  // files a throw left there
        keptTotal = 0;
    }

    Md5Lanes lanes;
    const std::size_t most;   // files in the lanes at most
    const std::size_t batch;  // files opened at once at most
    const std::size_t chunkSize;  // bytes read at a time after the first
    const std::size_t headSize;   // bytes read first
    std::vector<Slot> slots;
    std::vector<std::size_t> free;  // slots without a file
    std::deque<std::size_t> ready;  // slots whose first chunk waits for a lane
    Buffers heads, chunks;
    bool chunksPresent = false;  // first reads then go to the chunk buffers
    platform::ManyFiles opener;
    std::vector<platform::OpenRequest> requests;
    std::vector<std::size_t> taken;  // the slot of each request
    std::vector<platform::OpenedFile> results;
    BatchItems* items = nullptr;
    bool ended = false;
    std::uint64_t keptTotal = 0;  // bytes kept on this thread
};

FileBatch::FileBatch(Md5LaneSetup setup, std::size_t most) : state_(std::make_unique<State>(setup, most)) {}
FileBatch::~FileBatch() = default;

std::size_t FileBatch::InFlight() const noexcept { return state_->most; }

void FileBatch::Run(BatchItems& items) {
    State& s = *state_;
    s.items = &items;
    s.ended = false;
    // A run ends when its slots are all taken and drained, when no item is
    // there yet and those it holds are drained, or when the items end; then
    // again until they end.
    while (!s.ended) {
        // On a throw, the files still held are closed.
        struct Closer {
            State& s;
            ~Closer() {
                if (s.free.size() != s.slots.size()) s.CloseAll();
            }
        } closer{s};
        s.lanes.Run(s);
    }
}

}  // namespace ondrel::tool
