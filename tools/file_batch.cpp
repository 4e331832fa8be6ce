// Files read once each through the multi-lane MD5, many at a time on one
// thread; the CRC32 and MD5 rules answering from what was read.
#include "tools/file_batch.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "checks/ascii.h"
#include "checks/check_list.h"
#include "checks/rules.h"
#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "platform/reader.h"

namespace ondrel::tool {

namespace {

thread_local const FileRead* t_read = nullptr;

// The read in use for this name, when it holds what the rule needs.
const FileRead* ReadFor(const RuleContext& context) noexcept {
    const FileRead* read = t_read;
    return read && read->name == context.fileName ? read : nullptr;
}

bool Crc32FromRead(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    const FileRead* read = ReadFor(context);
    if (!read || !read->crc32) return Crc32Rule(context, value, trace);
    return trace.Set(Crc32ToHex(*read->crc32)) == value;
}

bool Md5FromRead(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    const FileRead* read = ReadFor(context);
    if (!read || !read->md5) return Md5Rule(context, value, trace);
    return trace.Set(DigestText(*read->md5)) == value;
}

std::vector<Keyword> MakeToolKeywords() {
    std::vector<Keyword> table(LibraryKeywords().begin(), LibraryKeywords().end());
    for (Keyword& k : table) {
        if (k.handler == &Crc32Rule) k.handler = &Crc32FromRead;
        if (k.handler == &Md5Rule) k.handler = &Md5FromRead;
    }
    return table;
}

// Buffer i starts 64 × i bytes past a page boundary, so that the lanes do
// not read their blocks at one offset within a page.
constexpr std::size_t kPage = 4096;
constexpr std::size_t kLargestChunk = platform::FileReader::kChunk;
constexpr std::size_t kStride = kLargestChunk + 64;
// Chunks are as large as 4 MiB over the files a thread holds allows, so
// that they are still in the processor's cache when the lanes take them:
// 64 KiB for 64 files, 256 KiB (fewer reads) for 16. Measured on 2,000
// files of 1 byte to 4 MiB and on 16 of 64 MiB.
constexpr std::size_t kChunkBudget = 4 * 1024 * 1024;
constexpr std::size_t kSmallestChunk = 64 * 1024;
std::size_t ChunkFor(std::size_t files) {
    const std::size_t chunk = kChunkBudget / std::max<std::size_t>(1, files) / kPage * kPage;
    return std::clamp(chunk, kSmallestChunk, kLargestChunk);
}

}  // namespace

ReadNeeds NeedsOf(const std::string& checkList) {
    ReadNeeds needs;
    CheckListReader reader(checkList.c_str());
    while (std::optional<CheckListItem> item = reader.Next()) {
        const std::size_t eq = item->text.find('=');
        if (eq == std::string::npos) continue;
        std::string name = item->text.substr(0, eq);
        AsciiUpper(name);
        if (name == "CRC32") needs.crc32 = true;
        else if (name == "MD5") needs.md5 = true;
    }
    return needs;
}

std::span<const Keyword> ToolKeywords() {
    static const std::vector<Keyword> table = MakeToolKeywords();
    return table;
}

ReadInUse::ReadInUse(const FileRead* read) noexcept : previous_(t_read) { t_read = read; }
ReadInUse::~ReadInUse() { t_read = previous_; }

Md5LaneSetup ToolLaneSetup() {
    Md5LaneCore core;
    const char* name = std::getenv(kLanesVariable);
    if (name && Md5LaneCoreNamed(name, core) && Md5LaneCoreRuns(core)) return Md5LaneSetupOf(core);
    return Md5LaneChosen();
}

// The scheduler's source: a slot for each file in flight, with its reader,
// its buffer and its CRC-32 so far.
struct FileBatch::State : Md5StreamSource {
    struct Slot {
        std::size_t item = 0;
        const std::string* name = nullptr;
        ReadNeeds needs;
        platform::FileReader file;
        std::uint64_t offset = 0;
        std::uint32_t crc = 0;
        unsigned char* buffer = nullptr;
    };

    State(Md5LaneSetup setup, std::size_t atMost)
        : lanes(setup), most(std::max<std::size_t>(1, std::min<std::size_t>(atMost, static_cast<std::size_t>(lanes.Lanes())))),
          chunk(ChunkFor(this->most)), slots(this->most), memory(std::make_unique_for_overwrite<unsigned char[]>(this->most * kStride + kPage)) {
        const auto base = reinterpret_cast<std::uintptr_t>(memory.get());
        unsigned char* aligned = memory.get() + (kPage - base % kPage) % kPage;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            slots[i].buffer = aligned + i * kStride;
            free.push_back(slots.size() - 1 - i);
        }
    }

    bool NextStream(Md5StreamId& id) override {
        for (;;) {
            if (free.empty()) return false;  // as many files in flight as this thread takes
            std::size_t item;
            if (!items->Next(item)) {
                ended = true;
                return false;
            }
            const ReadPlan plan = items->Plan(item);
            if (!plan.needs.Any()) {
                items->Done(item, nullptr);
                continue;
            }
            // Opened as the CRC32 rule opens it (others may not write) when
            // the list holds one, else as the MD5 rule does.
            const platform::Share share = plan.needs.crc32 ? platform::Share::Read : platform::Share::ReadWrite;
            platform::Result<platform::FileReader, platform::OpenFailure> file =
                platform::FileReader::OpenLookedUp(*plan.name, share);
            if (!file) {
                items->Done(item, nullptr);
                continue;
            }
            const std::size_t s = free.back();
            free.pop_back();
            Slot& slot = slots[s];
            slot.item = item;
            slot.name = plan.name;
            slot.needs = plan.needs;
            slot.file = std::move(*file);
            slot.offset = 0;
            slot.crc = 0;
            id = s;
            return true;
        }
    }

    Md5Chunk NextChunk(Md5StreamId id) override {
        Slot& slot = slots[static_cast<std::size_t>(id)];
        const std::uint64_t left = slot.file.Size() - slot.offset;
        if (left == 0) return Md5Chunk::End();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk));
        bool read = false;
        try {
            read = slot.file.ReadAt(slot.offset, slot.buffer, n);
        } catch (const platform::ResourcesExhausted&) {
            // The rules meet it again and answer as they do.
        }
        if (!read) {
            const std::size_t item = slot.item;
            Release(id);
            items->Done(item, nullptr);
            return Md5Chunk::Failure();
        }
        if (slot.needs.crc32) slot.crc = Crc32(slot.crc, slot.buffer, n);
        slot.offset += n;
        return {{slot.buffer, n}};
    }

    void Finished(Md5StreamId id, const Md5Digest& digest) override {
        Slot& slot = slots[static_cast<std::size_t>(id)];
        FileRead read{*slot.name, slot.file.file().IdentityAtOpen(), std::nullopt, std::nullopt};
        if (slot.needs.crc32) read.crc32 = slot.crc;
        if (slot.needs.md5) read.md5 = digest;
        const std::size_t item = slot.item;
        Release(id);
        items->Done(item, &read);
    }

    void Release(Md5StreamId id) {
        slots[static_cast<std::size_t>(id)].file = platform::FileReader();
        free.push_back(static_cast<std::size_t>(id));
    }

    Md5Lanes lanes;
    const std::size_t most;
    const std::size_t chunk;  // bytes read at a time
    std::vector<Slot> slots;
    std::vector<std::size_t> free;  // slots without a file
    std::unique_ptr<unsigned char[]> memory;
    BatchItems* items = nullptr;
    bool ended = false;
};

FileBatch::FileBatch(Md5LaneSetup setup, std::size_t most) : state_(std::make_unique<State>(setup, most)) {}
FileBatch::~FileBatch() = default;

std::size_t FileBatch::InFlight() const noexcept { return state_->most; }

void FileBatch::Run(BatchItems& items) {
    State& s = *state_;
    s.items = &items;
    s.ended = false;
    // A run ends when its slots are all taken and drained, or when the
    // items end; then again until they end.
    while (!s.ended) {
        // On a throw, the files still held are closed.
        struct Closer {
            State& s;
            ~Closer() {
                if (s.free.size() == s.slots.size()) return;
                s.free.clear();
                for (std::size_t i = s.slots.size(); i-- > 0;) {
                    s.slots[i].file = platform::FileReader();
                    s.free.push_back(i);
                }
            }
        } closer{s};
        s.lanes.Run(s);
    }
}

}  // namespace ondrel::tool
