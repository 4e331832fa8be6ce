// A catalogue's index on disk: written by streaming the catalogue, read in
// place through a mapping.
#include "tools/catalog/catalog_index.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "checksums/md5.h"

namespace ondrel::tool {

namespace {

using platform::Reason;

static_assert(sizeof(IndexHeader) == 128 && sizeof(IndexedEntry) == 16 && sizeof(SizedEntry) == 16);
static_assert(std::is_trivially_copyable_v<IndexHeader>);

constexpr char kMagic[8] = {'o', 'n', 'd', 'r', 'e', 'l', 'I', 'X'};
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::uint32_t kChunk = 1u << 20;

std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t hash = 14695981039346656037ull) noexcept {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

std::string ReadFailureText(platform::ReadFailure f) {
    return f == platform::ReadFailure::Exhausted ? "out of memory" : "it cannot be read";
}

// The lines of a catalogue file read in chunks, split as SplitLines splits
// a whole text: a byte-order mark at the start skipped, LF or CR LF, a last
// line without a line end. Every byte read goes into the digest, if any.
class LineStream {
public:
    struct Line {
        std::uint64_t number = 0;
        std::uint64_t offset = 0;
        std::string_view text;
    };

    LineStream(platform::File& file, Md5Context* digest) : file_(file), digest_(digest) {}

    // The next line (true), the end (false), or why the file could not be read.
    platform::Result<bool, Reason> Next(Line& line) {
        for (;;) {
            if (started_) {
                const std::size_t end = buffer_.find('\n', at_);
                if (end != std::string::npos || (ended_ && at_ < buffer_.size())) {
                    std::string_view text(buffer_.data() + at_, (end == std::string::npos ? buffer_.size() : end) - at_);
                    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
                    line = {++number_, start_ + at_, text};
                    at_ = end == std::string::npos ? buffer_.size() : end + 1;
                    return true;
                }
                if (ended_) return false;
            }
            buffer_.erase(0, at_);
            start_ += at_;
            at_ = 0;
            const std::size_t had = buffer_.size();
            buffer_.resize(had + kChunk);
            const platform::File::ReadResult got = file_.ReadAt(start_ + had, buffer_.data() + had, kChunk);
            if (!got) return Reason{ReadFailureText(got.failure())};
            buffer_.resize(had + *got);
            if (digest_) Md5Update(*digest_, buffer_.data() + had, *got);
            if (*got == 0) ended_ = true;
            if (!started_ && (buffer_.size() >= kByteOrderMark.size() || ended_)) {
                started_ = true;
                if (std::string_view(buffer_).substr(0, kByteOrderMark.size()) == kByteOrderMark) at_ = kByteOrderMark.size();
            }
        }
    }

private:
    platform::File& file_;
    Md5Context* digest_;
    std::string buffer_;
    std::uint64_t start_ = 0;  // the file offset of the buffer's first byte
    std::size_t at_ = 0;
    std::uint64_t number_ = 0;
    bool started_ = false, ended_ = false;
};

// length bytes at offset, all of them, or why not.
platform::Result<std::string, Reason> ReadBytesAt(platform::File& file, std::uint64_t offset, std::uint64_t length) {
    std::string bytes(static_cast<std::size_t>(length), '\0');
    for (std::size_t done = 0; done < bytes.size();) {
        const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size() - done, kChunk));
        const platform::File::ReadResult got = file.ReadAt(offset + done, bytes.data() + done, want);
        if (!got) return Reason{ReadFailureText(got.failure())};
        if (*got == 0) return Reason{"it ended early"};
        done += *got;
    }
    return bytes;
}

// The line (without its line end) that starts at offset.
platform::Result<std::string, Reason> ReadLineFrom(platform::File& file, std::uint64_t offset) {
    std::string line;
    char chunk[4096];
    for (;;) {
        const platform::File::ReadResult got = file.ReadAt(offset + line.size(), chunk, sizeof chunk);
        if (!got) return Reason{ReadFailureText(got.failure())};
        const std::string_view read(chunk, *got);
        const std::size_t end = read.find('\n');
        line.append(read.substr(0, end));
        if (end != std::string_view::npos || *got == 0) break;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

platform::Result<Md5Digest, Reason> DigestOf(platform::File& file) {
    Md5Context context;
    Md5Init(context);
    std::string chunk(kChunk, '\0');
    for (std::uint64_t at = 0;;) {
        const platform::File::ReadResult got = file.ReadAt(at, chunk.data(), kChunk);
        if (!got) return Reason{ReadFailureText(got.failure())};
        if (*got == 0) break;
        Md5Update(context, chunk.data(), *got);
        at += *got;
    }
    Md5Digest digest;
    Md5Final(context, digest);
    return digest;
}

struct NameAt {
    std::uint64_t hash;
    std::uint64_t offset;
};

// For each entry line whose name an earlier entry has: the offset of that
// earlier entry's line. Names are compared by hash, then by their text.
platform::Result<std::unordered_map<std::uint64_t, std::uint64_t>, Reason> RepeatedNames(platform::File& file,
                                                                                         std::vector<NameAt> names) {
    std::sort(names.begin(), names.end(),
              [](const NameAt& a, const NameAt& b) { return a.hash != b.hash ? a.hash < b.hash : a.offset < b.offset; });
    std::unordered_map<std::uint64_t, std::uint64_t> firstOf;
    for (std::size_t run = 0; run < names.size();) {
        std::size_t end = run + 1;
        while (end < names.size() && names[end].hash == names[run].hash) ++end;
        if (end - run > 1) {
            std::vector<std::string> texts;
            for (std::size_t i = run; i < end; ++i) {
                platform::Result<std::string, Reason> line = ReadLineFrom(file, names[i].offset);
                if (!line) return line.failure();
                texts.push_back(ReadCatalogueLine(*line).entry.name);
            }
            for (std::size_t i = 1; i < texts.size(); ++i)
                for (std::size_t j = 0; j < i; ++j)
                    if (texts[j] == texts[i] && !firstOf.count(names[run + j].offset)) {
                        firstOf[names[run + i].offset] = names[run + j].offset;
                        break;
                    }
        }
        run = end;
    }
    return firstOf;
}

// A file being written, removed unless it was kept.
class Unfinished {
public:
    explicit Unfinished(std::string name) : name_(std::move(name)) {}
    ~Unfinished() {
        std::error_code ignored;
        if (!kept_) std::filesystem::remove(name_, ignored);
    }
    Unfinished(const Unfinished&) = delete;
    Unfinished& operator=(const Unfinished&) = delete;
    void Keep() noexcept { kept_ = true; }

private:
    std::string name_;
    bool kept_ = false;
};

template <typename T>
void Put(std::ofstream& out, const T& value) {
    out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
T Get(std::string_view bytes, std::uint64_t offset) noexcept {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::uint64_t Padded(std::uint64_t n) noexcept { return (n + 7) & ~std::uint64_t{7}; }

// The refusal of an index whose catalogue is not the one it was made from.
std::string Changed(const IndexHeader& h, const platform::FileIdentity& now) {
    if (h.size != now.size) return "the catalogue's size changed since it was indexed";
    if (h.volume != now.volume || h.fileNumber != now.index) return "the catalogue is another file than the one indexed";
    return "the catalogue was written since it was indexed (its times differ)";
}

}  // namespace

std::string IndexNameOf(const std::string& catalogue) { return catalogue + ".index"; }

std::uint64_t IndexHeaderCheck(const IndexHeader& h) noexcept {
    return Fnv1a(std::string_view(reinterpret_cast<const char*>(&h), offsetof(IndexHeader, check)));
}

platform::Result<IndexWritten, Reason> WriteCatalogueIndex(const std::string& catalogue) {
    platform::Result<platform::File, platform::OpenFailure> opened =
        platform::File::Open(catalogue, platform::Share::ReadWrite, true);
    if (!opened) return Reason{platform::OpenFailureText(opened.failure())};
    platform::File& file = *opened;
    const platform::FileIdentity identity = file.IdentityAtOpen();
    // Within the resolution of its times a rewrite of the same size may leave
    // the identity as it is: then the digest decides, taken on both reads.
    const bool recent = platform::ChangedRecently(identity);
    Md5Context firstRead, secondRead;
    Md5Init(firstRead);
    Md5Init(secondRead);

    // First read: the entries' names, for the names given before.
    std::vector<NameAt> names;
    {
        LineStream lines(file, recent ? &firstRead : nullptr);
        LineStream::Line line;
        for (;;) {
            platform::Result<bool, Reason> more = lines.Next(line);
            if (!more) return more.failure();
            if (!*more) break;
            if (line.number > UINT32_MAX) return Reason{"more lines than an index counts (4294967295)"};
            if (line.text.size() >= kNeighboursOnly) return Reason{"line " + std::to_string(line.number) + " is longer than an index counts (2 GiB)"};
            CatalogueLineRead read = ReadCatalogueLine(line.text);
            if (read.kind == CatalogueLineRead::Kind::Entry) names.push_back({Fnv1a(read.entry.name), line.offset});
        }
    }
    const std::size_t entryLines = names.size();
    platform::Result<std::unordered_map<std::uint64_t, std::uint64_t>, Reason> repeated = RepeatedNames(file, std::move(names));
    if (!repeated) return repeated.failure();
    std::unordered_map<std::uint64_t, std::uint64_t> lineOfFirst;
    for (const auto& [at, first] : *repeated) lineOfFirst.emplace(first, 0);

    IndexWritten written;
    written.name = IndexNameOf(catalogue);
    const std::string temporary = written.name + ".new";
    Unfinished unfinished(temporary);
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return Reason{temporary + ": cannot be written"};
    IndexHeader header{};
    Put(out, header);

    // Second read: the entries numbered, written in order; the sizes kept to sort.
    std::vector<SizedEntry> sized;
    sized.reserve(entryLines);  // at most one per entry line: 16 bytes each, not twice that from growing
    std::vector<std::uint64_t> unsized;
    std::vector<DamagedLine> damaged;
    {
        LineStream lines(file, recent ? &secondRead : nullptr);
        LineStream::Line line;
        bool marked = false;  // the line before was the mark
        for (;;) {
            platform::Result<bool, Reason> more = lines.Next(line);
            if (!more) return more.failure();
            if (!*more) break;
            CatalogueLineRead read = ReadCatalogueLine(line.text);
            const bool neighboursOnly = std::exchange(marked, read.marksNext);
            if (read.kind == CatalogueLineRead::Kind::Nothing) continue;
            if (read.kind == CatalogueLineRead::Kind::Damaged) {
                damaged.push_back({static_cast<std::size_t>(line.number), std::move(read.damage)});
                continue;
            }
            if (const auto again = repeated->find(line.offset); again != repeated->end()) {
                damaged.push_back({static_cast<std::size_t>(line.number), RepeatedNameDamage(static_cast<std::size_t>(lineOfFirst[again->second]))});
                continue;
            }
            if (const auto first = lineOfFirst.find(line.offset); first != lineOfFirst.end()) first->second = line.number;
            if (line.number > UINT32_MAX || line.text.size() >= kNeighboursOnly) return Reason{"it changed while it was indexed"};
            const std::uint64_t entry = written.entries++;
            const std::uint32_t length = static_cast<std::uint32_t>(line.text.size()) | (neighboursOnly ? kNeighboursOnly : 0);
            Put(out, IndexedEntry{line.offset, length, static_cast<std::uint32_t>(line.number)});
            if (std::optional<std::string> size = RequiredSize(read.entry.checkList)) sized.push_back({Fnv1a(*size), entry});
            else unsized.push_back(entry);
        }
    }
    const std::optional<platform::FileIdentity> after = file.Identity();
    bool same = after && *after == identity && platform::IdentityOf(catalogue) == identity;
    Md5Digest first{}, second{};
    if (recent) {
        Md5Final(firstRead, first);
        Md5Final(secondRead, second);
        same = same && first == second;
    }
    if (!same) return Reason{"it changed while it was indexed"};

    std::sort(sized.begin(), sized.end(), [](const SizedEntry& a, const SizedEntry& b) {
        return a.sizeHash != b.sizeHash ? a.sizeHash < b.sizeHash : a.entry < b.entry;
    });
    for (const SizedEntry& s : sized) Put(out, s);
    for (std::uint64_t u : unsized) Put(out, u);
    std::uint64_t damagedBytes = 0;
    for (const DamagedLine& d : damaged) {
        Put(out, std::uint64_t{d.line});
        Put(out, std::uint64_t{d.damage.size()});
        const std::uint64_t padded = Padded(d.damage.size());
        out.write(d.damage.data(), static_cast<std::streamsize>(d.damage.size()));
        for (std::uint64_t i = d.damage.size(); i < padded; ++i) out.put('\0');
        damagedBytes += 16 + padded;
    }

    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kIndexVersion;
    header.byteOrder = kIndexByteOrder;
    header.volume = identity.volume;
    header.fileNumber = identity.index;
    header.size = identity.size;
    header.modified = identity.modified;
    header.changed = identity.changed;
    header.digestKept = recent ? 1 : 0;
    if (recent) std::memcpy(header.digest, second.data(), second.size());
    header.entries = written.entries;
    header.sized = sized.size();
    header.unsized = unsized.size();
    header.damaged = damaged.size();
    header.damagedBytes = damagedBytes;
    header.check = IndexHeaderCheck(header);
    out.seekp(0);
    Put(out, header);
    out.close();
    if (!out) return Reason{temporary + ": cannot be written"};
    std::error_code error;
    std::filesystem::rename(temporary, written.name, error);
    if (error) return Reason{written.name + ": cannot be replaced (" + error.message() + ")"};
    unfinished.Keep();
    written.unsized = unsized.size();
    written.damaged = std::move(damaged);
    written.bytes = sizeof header + 16 * (written.entries + sized.size()) + 8 * unsized.size() + damagedBytes;
    written.digestKept = recent;
    return written;
}

platform::Result<IndexedCatalogue, IndexRefusal> IndexedCatalogue::Open(const std::string& catalogue) {
    const std::string name = IndexNameOf(catalogue);
    if (!platform::IdentityOf(name)) return IndexRefusal{true, ""};
    auto refuse = [&](const std::string& why) { return IndexRefusal{false, name + ": " + why}; };
    platform::Result<platform::File, platform::OpenFailure> indexFile = platform::File::Open(name, platform::Share::ReadWrite);
    if (!indexFile) return refuse(platform::OpenFailureText(indexFile.failure()));
    platform::Result<platform::Mapping, Reason> mapped = platform::Mapping::Of(*indexFile);
    if (!mapped) return refuse(mapped.failure().text);

    IndexedCatalogue c;
    c.index_ = std::move(*mapped);
    const std::string_view bytes = c.index_.Bytes();
    if (bytes.size() < sizeof(IndexHeader)) return refuse("damaged (shorter than its header)");
    IndexHeader& h = c.header_;
    h = Get<IndexHeader>(bytes, 0);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return refuse("not an index of a catalogue");
    if (h.byteOrder != kIndexByteOrder) return refuse("written on a machine of another byte order");
    if (h.version != kIndexVersion)
        return refuse("made by another version of ondrel (index version " + std::to_string(h.version) + ")");
    if (h.check != IndexHeaderCheck(h)) return refuse("damaged (its header)");
    // Counts bounded first, so that the sum below cannot wrap.
    constexpr std::uint64_t kMany = std::uint64_t{1} << 40;
    if (h.entries > kMany || h.sized + h.unsized != h.entries || h.damaged > kMany || h.damagedBytes > kMany ||
        sizeof(IndexHeader) + 16 * (h.entries + h.sized) + 8 * h.unsized + h.damagedBytes != bytes.size())
        return refuse("damaged or truncated (its size is not what its header counts)");

    // A catalogue that cannot be opened is said by the reading of its text.
    platform::Result<platform::File, platform::OpenFailure> text = platform::File::Open(catalogue, platform::Share::ReadWrite);
    if (!text) return IndexRefusal{true, ""};
    c.catalogue_ = std::move(*text);
    const platform::FileIdentity now = c.catalogue_.IdentityAtOpen();
    const platform::FileIdentity then{h.volume, h.fileNumber, h.size, h.modified, h.changed};
    if (now != then) return refuse("stale: " + Changed(h, now));
    if (h.digestKept) {
        platform::Result<Md5Digest, Reason> digest = DigestOf(c.catalogue_);
        if (!digest) return refuse("the catalogue: " + digest.failure().text);
        if (std::memcmp(digest->data(), h.digest, sizeof h.digest) != 0)
            return refuse("stale: the catalogue's bytes changed since it was indexed");
    }

    std::uint64_t at = sizeof(IndexHeader) + 16 * (h.entries + h.sized) + 8 * h.unsized;
    for (std::uint64_t i = 0; i < h.damaged; ++i) {
        if (bytes.size() - at < 16) return refuse("damaged (its damaged lines)");
        const auto line = Get<std::uint64_t>(bytes, at);
        const auto length = Get<std::uint64_t>(bytes, at + 8);
        if (length > bytes.size() - at - 16) return refuse("damaged (its damaged lines)");
        c.damaged_.push_back({static_cast<std::size_t>(line), std::string(bytes.substr(static_cast<std::size_t>(at + 16), static_cast<std::size_t>(length)))});
        at += 16 + Padded(length);
    }
    return c;
}

platform::Result<CatalogueEntry, Reason> IndexedCatalogue::Entry(std::size_t entry) const {
    if (entry >= header_.entries) return Reason{"the catalogue's index names no entry " + std::to_string(entry)};
    auto e = Get<IndexedEntry>(index_.Bytes(), sizeof(IndexHeader) + 16 * std::uint64_t{entry});
    const bool neighboursOnly = (e.length & kNeighboursOnly) != 0;
    e.length &= ~kNeighboursOnly;
    auto changed = [&] { return Reason{"the catalogue changed after its index was checked (line " + std::to_string(e.line) + ")"}; };
    if (e.offset > header_.size || e.length > header_.size - e.offset) return changed();
    // ReadAt through a const object: the reads are positioned, the file is not changed.
    platform::Result<std::string, Reason> line = ReadBytesAt(const_cast<platform::File&>(catalogue_), e.offset, e.length);
    if (!line) return Reason{"the catalogue: " + line.failure().text};
    CatalogueLineRead read = ReadCatalogueLine(*line);
    if (read.kind != CatalogueLineRead::Kind::Entry) return changed();
    read.entry.line = e.line;
    read.entry.neighboursOnly = neighboursOnly;
    return std::move(read.entry);
}

platform::Result<std::vector<CatalogueEntry>, Reason> IndexedCatalogue::CandidatesOf(const std::string& sizeText,
                                                                                  std::vector<std::size_t>& numbers) const {
    const std::string_view bytes = index_.Bytes();
    const std::uint64_t sizedAt = sizeof(IndexHeader) + 16 * header_.entries;
    const std::uint64_t unsizedAt = sizedAt + 16 * header_.sized;
    const std::uint64_t hash = Fnv1a(sizeText);
    // The first sized entry whose hash is not below the file's.
    std::uint64_t low = 0, high = header_.sized;
    while (low < high) {
        const std::uint64_t mid = low + (high - low) / 2;
        if (Get<SizedEntry>(bytes, sizedAt + 16 * mid).sizeHash < hash) low = mid + 1;
        else high = mid;
    }
    std::vector<std::uint64_t> sized;
    for (; low < header_.sized; ++low) {
        const auto s = Get<SizedEntry>(bytes, sizedAt + 16 * low);
        if (s.sizeHash != hash) break;
        sized.push_back(s.entry);
    }
    // Both lists are in catalogue order; merged, they are the candidates.
    std::vector<CatalogueEntry> candidates;
    candidates.reserve(sized.size() + static_cast<std::size_t>(header_.unsized));
    numbers.clear();
    std::size_t next = 0;
    auto take = [&](std::uint64_t entry, bool mustRequire) -> platform::Outcome {
        platform::Result<CatalogueEntry, Reason> e = Entry(static_cast<std::size_t>(entry));
        if (!e) return e.failure();
        // Another size text of the same hash: not a candidate.
        if (mustRequire && RequiredSize(e->checkList) != sizeText) return platform::Done{};
        candidates.push_back(std::move(*e));
        numbers.push_back(static_cast<std::size_t>(entry));
        return platform::Done{};
    };
    for (std::uint64_t u = 0; u < header_.unsized; ++u) {
        const auto entry = Get<std::uint64_t>(bytes, unsizedAt + 8 * u);
        for (; next < sized.size() && sized[next] < entry; ++next)
            if (platform::Outcome done = take(sized[next], true); !done) return done.failure();
        if (platform::Outcome done = take(entry, false); !done) return done.failure();
    }
    for (; next < sized.size(); ++next)
        if (platform::Outcome done = take(sized[next], true); !done) return done.failure();
    return candidates;
}

FileMatch IndexedCatalogue::Match(const std::string& path) const {
    std::vector<CatalogueEntry> read;
    std::vector<std::size_t> numbers;
    return MatchFile(path, [&](const std::string& sizeText) -> platform::Result<std::vector<Candidate>, Reason> {
        platform::Result<std::vector<CatalogueEntry>, Reason> found = CandidatesOf(sizeText, numbers);
        if (!found) return found.failure();
        read = std::move(*found);
        std::vector<Candidate> candidates;
        candidates.reserve(read.size());
        for (std::size_t i = 0; i < read.size(); ++i) candidates.push_back({numbers[i], &read[i]});
        return candidates;
    });
}

LoadedCatalogue::LoadedCatalogue(Catalogue whole) : whole_(std::move(whole)) { sizes_.emplace(*whole_); }
LoadedCatalogue::LoadedCatalogue(IndexedCatalogue indexed) : indexed_(std::move(indexed)) {}

std::size_t LoadedCatalogue::Entries() const noexcept { return indexed_ ? indexed_->Entries() : whole_->entries.size(); }

const std::vector<DamagedLine>& LoadedCatalogue::Damaged() const noexcept {
    return indexed_ ? indexed_->Damaged() : whole_->damaged;
}

FileMatch LoadedCatalogue::Match(const std::string& path) const {
    return indexed_ ? indexed_->Match(path) : MatchFile(path, *whole_, *sizes_);
}

platform::Result<const std::vector<CatalogueEntry>*, Reason> LoadedCatalogue::AllEntries() {
    if (!whole_) {
        Catalogue read;
        read.entries.reserve(indexed_->Entries());
        for (std::size_t i = 0; i < indexed_->Entries(); ++i) {
            platform::Result<CatalogueEntry, Reason> e = indexed_->Entry(i);
            if (!e) return e.failure();
            read.entries.push_back(std::move(*e));
        }
        whole_ = std::move(read);
    }
    return &whole_->entries;
}

}  // namespace ondrel::tool
