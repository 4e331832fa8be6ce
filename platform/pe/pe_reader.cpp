#include "platform/pe/pe_reader.h"

#include <algorithm>
#include <cstring>

namespace ondrel::pe {

bool MemorySource::ReadAt(std::uint64_t offset, void* out, std::size_t count) noexcept {
    if (offset > size_ || count > size_ - offset) return false;
    if (count) std::memcpy(out, data_ + offset, count);
    return true;
}

namespace {

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::uint64_t kDosHeaderSize = 64;
constexpr std::uint64_t kFileHeaderEnd = 24;  // signature and COFF file header
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint64_t kDirectoryHeaderSize = 16;
constexpr std::uint64_t kDirectoryEntrySize = 8;
constexpr std::uint64_t kDataEntrySize = 16;

// The one gate: every read of the file goes through here, with the offset
// and the length checked against the file's size in 64-bit arithmetic.
class Reader {
public:
    explicit Reader(ByteSource& source) noexcept : source_(source), size_(source.Size()) {}
    std::uint64_t Size() const noexcept { return size_; }
    bool Fits(std::uint64_t offset, std::uint64_t count) const noexcept {
        return offset <= size_ && count <= size_ - offset;
    }
    bool Read(std::uint64_t offset, void* out, std::size_t count) noexcept {
        return Fits(offset, count) && source_.ReadAt(offset, out, count);
    }
    std::optional<std::uint16_t> Word(std::uint64_t offset) noexcept {
        unsigned char b[2];
        if (!Read(offset, b, 2)) return std::nullopt;
        return U16(b);
    }
    std::optional<std::uint32_t> Dword(std::uint64_t offset) noexcept {
        unsigned char b[4];
        if (!Read(offset, b, 4)) return std::nullopt;
        return U32(b);
    }

private:
    ByteSource& source_;
    std::uint64_t size_;
};

std::optional<ImageHeaders> Headers(Reader& reader) noexcept {
    unsigned char dos[kDosHeaderSize];
    if (!reader.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
    ImageHeaders h;
    h.ntHeaders = U32(dos + 0x3C);
    unsigned char nt[kFileHeaderEnd];
    if (!reader.Read(h.ntHeaders, nt, sizeof nt)) return std::nullopt;
    if (nt[0] != 'P' || nt[1] != 'E' || nt[2] != 0 || nt[3] != 0) return std::nullopt;
    h.numberOfSections = U16(nt + 6);
    h.sizeOfOptionalHeader = U16(nt + 20);
    h.sectionTable = std::uint64_t{h.ntHeaders} + kFileHeaderEnd + h.sizeOfOptionalHeader;
    return h;
}

std::optional<SectionTable> Sections(Reader& reader, const ImageHeaders& h) {
    SectionTable table;
    table.numberOfSections = h.numberOfSections;
    std::uint64_t available = 0;
    if (h.sectionTable <= reader.Size()) available = (reader.Size() - h.sectionTable) / kSectionHeaderSize;
    std::uint64_t count = std::min<std::uint64_t>(h.numberOfSections, available);
    table.complete = count == h.numberOfSections;
    // At most 65535 headers of 40 bytes, and only those the file holds.
    std::vector<unsigned char> raw(static_cast<std::size_t>(count * kSectionHeaderSize));
    if (count && !reader.Read(h.sectionTable, raw.data(), raw.size())) return std::nullopt;
    table.headers.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < table.headers.size(); ++i) {
        const unsigned char* p = raw.data() + i * kSectionHeaderSize;
        SectionHeader& s = table.headers[i];
        std::memcpy(s.name.data(), p, 8);
        s.virtualSize = U32(p + 8);
        s.virtualAddress = U32(p + 12);
        s.sizeOfRawData = U32(p + 16);
        s.pointerToRawData = U32(p + 20);
    }
    return table;
}

// The file offset of an address relative to the image, through the first
// section whose raw data covers it (the sum wraps in 32 bits, as the
// platform computes it). Nothing when no section covers it.
std::optional<std::uint64_t> RvaToOffset(const SectionTable& table, std::uint32_t rva) {
    for (const SectionHeader& s : table.headers)
        if (s.virtualAddress <= rva && static_cast<std::uint32_t>(s.virtualAddress + s.sizeOfRawData) > rva)
            return std::uint64_t{s.pointerToRawData} + (rva - s.virtualAddress);
    return std::nullopt;
}

// Windows-1252 to UTF-16, upper-cased as the platform's Unicode upper case
// maps the characters of that page.
constexpr char16_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t UpperUtf16(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    switch (c) {
        case 0x00FF: return 0x0178;
        case 0x0161: return 0x0160;
        case 0x0153: return 0x0152;
        case 0x017E: return 0x017D;
        case 0x0192: return 0x0191;
        default: return c;
    }
}

// The resource directory: the root and the table that turns addresses into
// file offsets.
struct ResourceRoot {
    std::uint64_t offset = 0;
    SectionTable sections;
};

std::optional<ResourceRoot> FindRoot(Reader& reader) {
    std::optional<ImageHeaders> h = Headers(reader);
    if (!h) return std::nullopt;
    const std::uint64_t optional = std::uint64_t{h->ntHeaders} + kFileHeaderEnd;
    std::optional<std::uint16_t> magic = reader.Word(optional);
    if (!magic) return std::nullopt;
    std::uint64_t countAt, directoryAt;
    if (*magic == 0x10B) {
        countAt = optional + 92;
        directoryAt = optional + 96;
    } else if (*magic == 0x20B) {
        countAt = optional + 108;
        directoryAt = optional + 112;
    } else {
        return std::nullopt;
    }
    std::optional<std::uint32_t> count = reader.Dword(countAt);
    if (!count || *count <= 2) return std::nullopt;
    std::optional<std::uint32_t> address = reader.Dword(directoryAt + 2 * 8);
    std::optional<std::uint32_t> size = reader.Dword(directoryAt + 2 * 8 + 4);
    std::optional<std::uint32_t> sizeOfHeaders = reader.Dword(optional + 60);
    if (!address || !size || !sizeOfHeaders || *address == 0 || *size < kDirectoryHeaderSize) return std::nullopt;
    std::optional<SectionTable> sections = Sections(reader, *h);
    if (!sections) return std::nullopt;
    ResourceRoot root;
    root.sections = std::move(*sections);
    if (*address < *sizeOfHeaders) {
        root.offset = *address;
    } else {
        std::optional<std::uint64_t> at = RvaToOffset(root.sections, *address);
        if (!at) return std::nullopt;
        root.offset = *at;
    }
    return root;
}

struct Directory {
    std::uint64_t offset = 0;  // of its header; the entries follow
    std::uint16_t named = 0;
    std::uint16_t ids = 0;
};

struct Entry {
    std::uint32_t name = 0;
    std::uint32_t target = 0;
    bool IsDirectory() const { return (target & 0x80000000u) != 0; }
    std::uint32_t Offset() const { return target & 0x7FFFFFFFu; }
};

class ResourceWalker {
public:
    ResourceWalker(Reader& reader, const ResourceRoot& root) : reader_(reader), root_(root) {}

    std::optional<Directory> DirectoryAt(std::uint64_t offset) {
        unsigned char b[kDirectoryHeaderSize];
        if (!reader_.Read(offset, b, sizeof b)) return std::nullopt;
        return Directory{offset, U16(b + 12), U16(b + 14)};
    }
    std::optional<Directory> Root() { return DirectoryAt(root_.offset); }

    std::optional<Entry> EntryAt(const Directory& dir, int index) {
        unsigned char b[kDirectoryEntrySize];
        std::uint64_t at = dir.offset + kDirectoryHeaderSize + static_cast<std::uint64_t>(index) * kDirectoryEntrySize;
        if (!reader_.Read(at, b, sizeof b)) return std::nullopt;
        return Entry{U32(b), U32(b + 4)};
    }

    // The UTF-16 name at an offset from the root: a 16-bit length, then
    // that many 16-bit characters.
    std::optional<std::u16string> NameAt(std::uint32_t offset) {
        std::uint64_t at = root_.offset + offset;
        std::optional<std::uint16_t> length = reader_.Word(at);
        if (!length || !reader_.Fits(at + 2, std::uint64_t{*length} * 2)) return std::nullopt;
        std::vector<unsigned char> raw(std::size_t{*length} * 2);
        if (!reader_.Read(at + 2, raw.data(), raw.size())) return std::nullopt;
        std::u16string name(*length, u'\0');
        for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(U16(raw.data() + 2 * i));
        return name;
    }

    // Outcome of one search: a failed read ends the whole lookup.
    struct Found {
        bool failed = false;
        std::optional<std::uint64_t> target;  // offset of the directory or data entry
    };

    Found Target(const Entry& e, bool wantDirectory) {
        if (e.IsDirectory() != wantDirectory) return {};
        return {false, root_.offset + e.Offset()};
    }

    // Binary search among the identifier entries, as the platform does it.
    Found ById(const Directory& dir, std::uint16_t id, bool wantDirectory) {
        int min = dir.named;
        int max = min + dir.ids - 1;
        while (min <= max) {
            int pos = (min + max) / 2;
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return {true, std::nullopt};
            std::uint16_t entryId = static_cast<std::uint16_t>(e->name & 0xFFFF);
            if (entryId == id) return Target(*e, wantDirectory);
            if (entryId > id) max = pos - 1;
            else min = pos + 1;
        }
        return {};
    }

    // Binary search among the named entries: the wanted name compared with
    // each stored name over the stored length, then by length.
    Found ByName(const Directory& dir, const std::u16string& name, bool wantDirectory) {
        int min = 0;
        int max = dir.named - 1;
        while (min <= max) {
            int pos = (min + max) / 2;
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return {true, std::nullopt};
            std::optional<std::u16string> stored = NameAt(e->name & 0x7FFFFFFFu);
            if (!stored) return {true, std::nullopt};
            int res = CompareCounted(name, *stored);
            if (res == 0 && name.size() == stored->size()) return Target(*e, wantDirectory);
            if (res < 0) max = pos - 1;
            else min = pos + 1;
        }
        return {};
    }

    Found ByKey(const Directory& dir, const ResourceKey& key, bool wantDirectory) {
        return key.isId ? ById(dir, key.id, wantDirectory) : ByName(dir, key.name, wantDirectory);
    }

    Found FirstData(const Directory& dir) {
        for (int pos = 0; pos < dir.named + dir.ids; ++pos) {
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return {true, std::nullopt};
            if (!e->IsDirectory()) return {false, root_.offset + e->Offset()};
        }
        return {};
    }

    std::optional<std::uint16_t> LanguageOf(const Directory& dir, std::uint64_t dataEntry) {
        for (int pos = 0; pos < dir.named + dir.ids; ++pos) {
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return std::nullopt;
            if (!e->IsDirectory() && root_.offset + e->Offset() == dataEntry)
                return static_cast<std::uint16_t>(e->name & 0xFFFF);
        }
        return std::nullopt;
    }

    const ResourceRoot& root() const { return root_; }

private:
    // Counted comparison of a wanted name (no zero character in it) with a
    // stored one: stops at the first difference, at the end of the wanted
    // name, or at the last stored character; characters compare unsigned.
    static int CompareCounted(const std::u16string& wanted, const std::u16string& stored) {
        std::size_t n = stored.size();
        if (n == 0) return 0;
        std::size_t k = 0;
        while (k + 1 < n && k < wanted.size() && wanted[k] == stored[k]) ++k;
        int a = k < wanted.size() ? wanted[k] : 0;
        return a - static_cast<int>(stored[k]);
    }

    Reader& reader_;
    const ResourceRoot& root_;
};

void PushLanguage(std::vector<std::uint16_t>& list, std::uint16_t language) {
    if (std::find(list.begin(), list.end(), language) == list.end()) list.push_back(language);
}

std::uint16_t Primary(std::uint16_t language) { return static_cast<std::uint16_t>(language & 0x3FF); }

}  // namespace

std::optional<ImageHeaders> ReadImageHeaders(ByteSource& source) noexcept {
    Reader reader(source);
    return Headers(reader);
}

std::optional<SectionTable> ReadSectionTable(ByteSource& source) {
    Reader reader(source);
    std::optional<ImageHeaders> h = Headers(reader);
    if (!h) return std::nullopt;
    return Sections(reader, *h);
}

std::optional<ResourceKey> ResourceKeyFromAnsi(const std::string& text) {
    if (!text.empty() && text[0] == '#') {
        // A decimal number after "#": blanks (and, read as signed
        // characters, bytes of 128 and more) skipped, one sign, digits up to
        // the first other character; the value wraps in 32 bits and must fit 16.
        std::size_t i = 1;
        while (i < text.size() && text[i] != '\0' && static_cast<signed char>(text[i]) <= ' ') ++i;
        bool minus = false;
        if (i < text.size() && text[i] == '+') ++i;
        else if (i < text.size() && text[i] == '-') {
            minus = true;
            ++i;
        }
        std::uint32_t total = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            total = total * 10u + static_cast<std::uint32_t>(text[i] - '0');
        if (minus) total = 0u - total;
        if (total > 0xFFFF) return std::nullopt;
        return ResourceKey::Id(static_cast<std::uint16_t>(total));
    }
    std::u16string name;
    name.reserve(text.size());
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b == 0) break;
        char16_t wide = (b >= 0x80 && b < 0xA0) ? kHigh1252[b - 0x80] : static_cast<char16_t>(b);
        name.push_back(UpperUtf16(wide));
    }
    return ResourceKey::Name(std::move(name));
}

namespace {

// Type, then name, then the language that pick() chooses among the name's
// languages; the data entry it leads to, when its data lies in the file.
template <typename Pick>
std::optional<ResourceData> LocateResource(ByteSource& source, const ResourceKey& type, const ResourceKey& name,
                                           Pick pick) {
    Reader reader(source);
    std::optional<ResourceRoot> root = FindRoot(reader);
    if (!root) return std::nullopt;
    ResourceWalker walker(reader, *root);

    std::optional<Directory> top = walker.Root();
    if (!top) return std::nullopt;
    ResourceWalker::Found typeDir = walker.ByKey(*top, type, true);
    if (!typeDir.target) return std::nullopt;
    std::optional<Directory> types = walker.DirectoryAt(*typeDir.target);
    if (!types) return std::nullopt;
    ResourceWalker::Found nameDir = walker.ByKey(*types, name, true);
    if (!nameDir.target) return std::nullopt;
    std::optional<Directory> langs = walker.DirectoryAt(*nameDir.target);
    if (!langs) return std::nullopt;

    ResourceWalker::Found data = pick(walker, *langs);
    if (!data.target) return std::nullopt;

    unsigned char entry[kDataEntrySize];
    if (!reader.Read(*data.target, entry, sizeof entry)) return std::nullopt;
    std::optional<std::uint64_t> at = RvaToOffset(root->sections, U32(entry));
    std::uint32_t size = U32(entry + 4);
    if (!at || !reader.Fits(*at, size)) return std::nullopt;
    ResourceData result;
    result.fileOffset = *at;
    result.size = size;
    result.entryOffset = *data.target;
    result.language = walker.LanguageOf(*langs, *data.target).value_or(0);
    return result;
}

}  // namespace

std::optional<ResourceData> FindResourceData(ByteSource& source, const ResourceKey& type, const ResourceKey& name,
                                             const LanguageDefaults& languages) {
    return LocateResource(source, type, name, [&](ResourceWalker& walker, const Directory& langs) {
        // The neutral language asked for, then the thread's, the user's (and its
        // neutral sublanguage), the system's (and its neutral sublanguage),
        // English (United States); then the first entry that holds data.
        std::vector<std::uint16_t> order;
        PushLanguage(order, 0);
        PushLanguage(order, languages.thread);
        PushLanguage(order, languages.user);
        PushLanguage(order, Primary(languages.user));
        PushLanguage(order, languages.system);
        PushLanguage(order, Primary(languages.system));
        PushLanguage(order, 0x409);
        ResourceWalker::Found data;
        for (std::uint16_t language : order) {
            data = walker.ById(langs, language, false);
            if (data.failed) return ResourceWalker::Found{};
            if (data.target) return data;
        }
        return walker.FirstData(langs);
    });
}

std::optional<ResourceData> FindResourceDataInLanguage(ByteSource& source, const ResourceKey& type,
                                                       const ResourceKey& name, std::uint16_t language) {
    return LocateResource(source, type, name, [&](ResourceWalker& walker, const Directory& langs) {
        return walker.ById(langs, language, false);
    });
}

std::vector<ResourceListing> ListResources(ByteSource& source, std::size_t limit) {
    std::vector<ResourceListing> list;
    Reader reader(source);
    std::optional<ResourceRoot> root = FindRoot(reader);
    if (!root) return list;
    ResourceWalker walker(reader, *root);
    auto keyOf = [&](const Entry& e, int pos, const Directory& dir) -> std::optional<ResourceKey> {
        if (pos >= dir.named) return ResourceKey::Id(static_cast<std::uint16_t>(e.name & 0xFFFF));
        std::optional<std::u16string> text = walker.NameAt(e.name & 0x7FFFFFFFu);
        if (!text) return std::nullopt;
        return ResourceKey::Name(std::move(*text));
    };
    // Exactly three levels: type, name, language; anything deeper is not
    // followed, so neither loops nor deep trees are walked.
    std::optional<Directory> top = walker.Root();
    if (!top) return list;
    for (int t = 0; t < top->named + top->ids && list.size() < limit; ++t) {
        std::optional<Entry> te = walker.EntryAt(*top, t);
        if (!te) break;
        std::optional<ResourceKey> type = keyOf(*te, t, *top);
        if (!te->IsDirectory() || !type) continue;
        std::optional<Directory> names = walker.DirectoryAt(root->offset + te->Offset());
        if (!names) continue;
        for (int n = 0; n < names->named + names->ids && list.size() < limit; ++n) {
            std::optional<Entry> ne = walker.EntryAt(*names, n);
            if (!ne) break;
            std::optional<ResourceKey> name = keyOf(*ne, n, *names);
            if (!ne->IsDirectory() || !name) continue;
            std::optional<Directory> langs = walker.DirectoryAt(root->offset + ne->Offset());
            if (!langs) continue;
            for (int l = 0; l < langs->named + langs->ids && list.size() < limit; ++l) {
                std::optional<Entry> le = walker.EntryAt(*langs, l);
                if (!le) break;
                if (le->IsDirectory()) continue;
                list.push_back({*type, *name, static_cast<std::uint16_t>(le->name & 0xFFFF)});
            }
        }
    }
    return list;
}

}  // namespace ondrel::pe
