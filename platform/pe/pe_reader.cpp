#include "platform/pe/pe_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/pe/pe_layout.h"
#include "platform/windows1252.h"

namespace ondrel::pe {

const char* FailureText(Failure failure) noexcept {
    switch (failure) {
        case Failure::None: return "no failure";
        case Failure::ReadFailed: return "the file could not be read";
        case Failure::NoMz: return "no MZ";
        case Failure::ShortDosHeader: return "the file ends inside the DOS header";
        case Failure::NtHeadersPastEnd: return "e_lfanew past the end of the file";
        case Failure::NoPeSignature: return "no PE signature";
        case Failure::FileHeaderPastEnd: return "COFF file header past the end of the file";
        case Failure::UnknownOptionalHeader: return "optional header neither PE32 nor PE32+";
        case Failure::NoResourceDirectory: return "no resource directory";
        case Failure::ResourceDirectoryNowhere: return "resource directory in no section";
        case Failure::ResourceDirectoryPastEnd: return "resource directory past the end of the file";
        case Failure::ResourceEntryPastEnd: return "resource directory entry past the end of the file";
        case Failure::NoSuchType: return "no such resource type";
        case Failure::NoSuchName: return "no such resource name";
        case Failure::NoSuchLanguage: return "no such resource language";
        case Failure::ResourceDataOutside: return "resource data outside the file";
    }
    return "unknown failure";
}

namespace {

// The one gate: every read of the file goes through here, with the offset
// and the length checked against the file's size in 64-bit arithmetic.
class Reader {
public:
    explicit Reader(ByteSource& source) noexcept : source_(source), size_(source.Size()) {}
    std::uint64_t Size() const noexcept { return size_; }
    bool Fits(std::uint64_t offset, std::uint64_t count) const noexcept {
        return offset <= size_ && count <= size_ - offset;
    }
    bool Read(std::uint64_t offset, void* out, std::size_t count) {
        return Fits(offset, count) && source_.ReadAt(offset, out, count);
    }
    std::optional<std::uint16_t> Word(std::uint64_t offset) {
        unsigned char b[2];
        if (!Read(offset, b, 2)) return std::nullopt;
        return Le16(b);
    }
    std::optional<std::uint32_t> Dword(std::uint64_t offset) {
        unsigned char b[4];
        if (!Read(offset, b, 4)) return std::nullopt;
        return Le32(b);
    }

private:
    ByteSource& source_;
    std::uint64_t size_;
};

Result<ImageHeaders> Headers(Reader& reader) {
    // As much of the DOS header as there is, to tell a file without "MZ"
    // from one that ends inside the header.
    unsigned char dos[dos_header::kSize];
    const auto dosBytes = static_cast<std::size_t>(std::min<std::uint64_t>(reader.Size(), sizeof dos));
    if (dosBytes < 2) return Failure::NoMz;
    if (!reader.Read(0, dos, dosBytes)) return Failure::ReadFailed;
    if (dos[dos_header::kMagic] != 'M' || dos[dos_header::kMagic + 1] != 'Z') return Failure::NoMz;
    if (dosBytes < sizeof dos) return Failure::ShortDosHeader;
    ImageHeaders h;
    h.ntHeaders = Le32(dos + dos_header::kNewHeader);
    if (!reader.Fits(h.ntHeaders, file_header::kSignatureSize)) return Failure::NtHeadersPastEnd;
    unsigned char nt[file_header::kSize];
    const auto ntBytes = static_cast<std::size_t>(std::min<std::uint64_t>(reader.Size() - h.ntHeaders, sizeof nt));
    if (!reader.Read(h.ntHeaders, nt, ntBytes)) return Failure::ReadFailed;
    if (std::memcmp(nt + file_header::kSignature, "PE\0\0", file_header::kSignatureSize) != 0)
        return Failure::NoPeSignature;
    if (ntBytes < sizeof nt) return Failure::FileHeaderPastEnd;
    h.numberOfSections = Le16(nt + file_header::kNumberOfSections);
    h.sizeOfOptionalHeader = Le16(nt + file_header::kSizeOfOptionalHeader);
    h.sectionTable = std::uint64_t{h.ntHeaders} + file_header::kSize + h.sizeOfOptionalHeader;
    return h;
}

Result<SectionTable> Sections(Reader& reader, const ImageHeaders& h) {
    std::uint64_t available = 0;
    if (h.sectionTable <= reader.Size()) available = reader.Size() - h.sectionTable;
    const std::uint64_t count = std::min<std::uint64_t>(h.numberOfSections, available / section_header::kSize);
    // At most 65535 headers of 40 bytes, and only those the file holds.
    std::vector<unsigned char> raw(static_cast<std::size_t>(count * section_header::kSize));
    if (count && !reader.Read(h.sectionTable, raw.data(), raw.size())) return Failure::ReadFailed;
    return DecodeSectionTable(h.numberOfSections, raw.data(), raw.size());
}

// A character of Windows-1252, upper-cased as the platform's Unicode upper
// case maps the characters of that page.
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

Result<ResourceRoot> FindRoot(Reader& reader) {
    Result<ImageHeaders> h = Headers(reader);
    if (!h) return h.failure();
    namespace oh = optional_header;
    const std::uint64_t optional = std::uint64_t{h->ntHeaders} + file_header::kSize;
    std::optional<std::uint16_t> magic = reader.Word(optional + oh::kMagic);
    if (!magic || (*magic != oh::kPe32Magic && *magic != oh::kPe32PlusMagic)) return Failure::UnknownOptionalHeader;
    const oh::Kind& kind = *magic == oh::kPe32Magic ? oh::kPe32 : oh::kPe32Plus;
    std::optional<std::uint32_t> count = reader.Dword(optional + kind.numberOfRvaAndSizes);
    if (!count || *count <= oh::kResourceDirectory) return Failure::NoResourceDirectory;
    const std::uint64_t directory = optional + kind.dataDirectories + oh::kResourceDirectory * oh::kDirectoryEntrySize;
    std::optional<std::uint32_t> address = reader.Dword(directory + oh::kDirectoryAddress);
    std::optional<std::uint32_t> size = reader.Dword(directory + oh::kDirectorySize);
    std::optional<std::uint32_t> sizeOfHeaders = reader.Dword(optional + oh::kSizeOfHeaders);
    if (!address || !size || !sizeOfHeaders || *address == 0 || *size < resource_directory::kSize)
        return Failure::NoResourceDirectory;
    Result<SectionTable> sections = Sections(reader, *h);
    if (!sections) return sections.failure();
    ResourceRoot root;
    root.sections = std::move(*sections);
    if (*address < *sizeOfHeaders) {
        root.offset = *address;
    } else {
        std::optional<std::uint64_t> at = RvaToOffset(root.sections, *address);
        if (!at) return Failure::ResourceDirectoryNowhere;
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
    bool IsDirectory() const { return (target & resource_entry::kTargetIsDirectory) != 0; }
    std::uint32_t Offset() const { return target & resource_entry::kOffsetMask; }
    std::uint32_t NameOffset() const { return name & resource_entry::kOffsetMask; }
    std::uint16_t Id() const { return static_cast<std::uint16_t>(name & resource_entry::kIdMask); }
};

class ResourceWalker {
public:
    ResourceWalker(Reader& reader, std::uint64_t root) : reader_(reader), root_(root) {}

    std::optional<Directory> DirectoryAt(std::uint64_t offset) {
        unsigned char b[resource_directory::kSize];
        if (!reader_.Read(offset, b, sizeof b)) return std::nullopt;
        return Directory{offset, Le16(b + resource_directory::kNumberOfNamedEntries),
                         Le16(b + resource_directory::kNumberOfIdEntries)};
    }
    std::optional<Directory> Root() { return DirectoryAt(root_); }

    std::optional<Entry> EntryAt(const Directory& dir, int index) {
        unsigned char b[resource_entry::kSize];
        std::uint64_t at =
            dir.offset + resource_directory::kSize + static_cast<std::uint64_t>(index) * resource_entry::kSize;
        if (!reader_.Read(at, b, sizeof b)) return std::nullopt;
        return Entry{Le32(b + resource_entry::kName), Le32(b + resource_entry::kTarget)};
    }

    // The UTF-16 name at an offset from the root: a 16-bit length, then
    // that many 16-bit characters.
    std::optional<std::u16string> NameAt(std::uint32_t offset) {
        std::uint64_t at = root_ + offset;
        std::optional<std::uint16_t> length = reader_.Word(at);
        if (!length || !reader_.Fits(at + 2, std::uint64_t{*length} * 2)) return std::nullopt;
        std::vector<unsigned char> raw(std::size_t{*length} * 2);
        if (!reader_.Read(at + 2, raw.data(), raw.size())) return std::nullopt;
        std::u16string name(*length, u'\0');
        for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(Le16(raw.data() + 2 * i));
        return name;
    }

    // Outcome of one search: the offset of the directory or data entry
    // found, none when there is no such entry, or the failed read that ends
    // the whole lookup.
    using Found = Result<std::optional<std::uint64_t>>;
    static Found At(std::uint64_t offset) { return Found(offset); }
    static Found NotThere() { return Found(std::nullopt); }
    static Found ReadFailed() { return Failure::ResourceEntryPastEnd; }

    Found Target(const Entry& e, bool wantDirectory) {
        if (e.IsDirectory() != wantDirectory) return NotThere();
        return At(root_ + e.Offset());
    }

    // Binary search among the identifier entries, as the platform does it.
    Found ById(const Directory& dir, std::uint16_t id, bool wantDirectory) {
        int min = dir.named;
        int max = min + dir.ids - 1;
        while (min <= max) {
            int pos = (min + max) / 2;
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return ReadFailed();
            std::uint16_t entryId = e->Id();
            if (entryId == id) return Target(*e, wantDirectory);
            if (entryId > id) max = pos - 1;
            else min = pos + 1;
        }
        return NotThere();
    }

    // Binary search among the named entries: the wanted name compared with
    // each stored name over the stored length, then by length.
    Found ByName(const Directory& dir, const std::u16string& name, bool wantDirectory) {
        int min = 0;
        int max = dir.named - 1;
        while (min <= max) {
            int pos = (min + max) / 2;
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return ReadFailed();
            std::optional<std::u16string> stored = NameAt(e->NameOffset());
            if (!stored) return ReadFailed();
            int res = CompareCounted(name, *stored);
            if (res == 0 && name.size() == stored->size()) return Target(*e, wantDirectory);
            if (res < 0) max = pos - 1;
            else min = pos + 1;
        }
        return NotThere();
    }

    Found ByKey(const Directory& dir, const ResourceKey& key, bool wantDirectory) {
        return key.isId ? ById(dir, key.id, wantDirectory) : ByName(dir, key.name, wantDirectory);
    }

    Found FirstData(const Directory& dir) {
        for (int pos = 0; pos < dir.named + dir.ids; ++pos) {
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return ReadFailed();
            if (!e->IsDirectory()) return At(root_ + e->Offset());
        }
        return NotThere();
    }

    std::optional<std::uint16_t> LanguageOf(const Directory& dir, std::uint64_t dataEntry) {
        for (int pos = 0; pos < dir.named + dir.ids; ++pos) {
            std::optional<Entry> e = EntryAt(dir, pos);
            if (!e) return std::nullopt;
            if (!e->IsDirectory() && root_ + e->Offset() == dataEntry)
                return e->Id();
        }
        return std::nullopt;
    }

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
    std::uint64_t root_;
};

void PushLanguage(std::vector<std::uint16_t>& list, std::uint16_t language) {
    if (std::find(list.begin(), list.end(), language) == list.end()) list.push_back(language);
}

std::uint16_t Primary(std::uint16_t language) { return static_cast<std::uint16_t>(language & 0x3FF); }

}  // namespace

std::optional<std::uint64_t> RvaToOffset(const SectionTable& table, std::uint32_t rva) {
    for (const SectionHeader& s : table.headers)
        if (s.virtualAddress <= rva && static_cast<std::uint32_t>(s.virtualAddress + s.sizeOfRawData) > rva)
            return std::uint64_t{s.pointerToRawData} + (rva - s.virtualAddress);
    return std::nullopt;
}

SectionIndex::SectionIndex(const SectionTable& table) {
    // A section covers [virtualAddress, end) where end does not wrap;
    // one whose end wraps (or equals its start) covers nothing.
    auto end = [](const SectionHeader& s) { return std::uint64_t{s.virtualAddress} + s.sizeOfRawData; };
    auto covers = [&](const SectionHeader& s) { return s.sizeOfRawData != 0 && end(s) <= 0xFFFFFFFFu; };
    std::vector<std::uint64_t> bounds;
    for (const SectionHeader& s : table.headers)
        if (covers(s)) {
            bounds.push_back(s.virtualAddress);
            bounds.push_back(end(s));
        }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    if (bounds.empty()) return;
    const std::size_t spans = bounds.size() - 1;
    owners_.assign(spans, Owner{});
    // The sections in table order paint the spans not yet painted; next[k]
    // leads past the painted ones (path halving), so each span is painted
    // once and the whole costs sections x log(sections).
    std::vector<std::size_t> next(spans + 1);
    for (std::size_t k = 0; k <= spans; ++k) next[k] = k;
    auto unpainted = [&](std::size_t k) {
        while (next[k] != k) k = next[k] = next[next[k]];
        return k;
    };
    for (const SectionHeader& s : table.headers) {
        if (!covers(s)) continue;
        const auto first = static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), s.virtualAddress) - bounds.begin());
        const auto last = static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), end(s)) - bounds.begin());
        for (std::size_t k = unpainted(first); k < last; k = unpainted(k + 1)) {
            owners_[k] = {true, s.virtualAddress, s.pointerToRawData};
            next[k] = k + 1;
        }
    }
    // Every bound fits 32 bits; the last one ends the last span.
    starts_.reserve(bounds.size());
    for (std::uint64_t b : bounds) starts_.push_back(static_cast<std::uint32_t>(b));
}

std::optional<std::uint64_t> SectionIndex::FileOffset(std::uint32_t rva) const {
    if (owners_.empty()) return std::nullopt;
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), rva);
    if (after == starts_.begin()) return std::nullopt;
    const auto k = static_cast<std::size_t>(after - starts_.begin()) - 1;
    if (k >= owners_.size() || !owners_[k].any) return std::nullopt;
    return std::uint64_t{owners_[k].pointerToRawData} + (rva - owners_[k].virtualAddress);
}

Result<ImageHeaders> ReadImageHeaders(ByteSource& source) {
    Reader reader(source);
    return Headers(reader);
}

Result<SectionTable> ReadSectionTable(ByteSource& source) {
    Reader reader(source);
    Result<ImageHeaders> h = Headers(reader);
    if (!h) return h.failure();
    return Sections(reader, *h);
}

SectionTable DecodeSectionTable(std::uint16_t numberOfSections, const unsigned char* table,
                                std::uint64_t available) {
    namespace sh = section_header;
    SectionTable result;
    result.numberOfSections = numberOfSections;
    const std::uint64_t count = std::min<std::uint64_t>(numberOfSections, available / sh::kSize);
    result.headers.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < result.headers.size(); ++i) {
        const unsigned char* p = table + i * sh::kSize;
        SectionHeader& s = result.headers[i];
        std::memcpy(s.name.data(), p + sh::kName, sh::kNameSize);
        s.virtualSize = Le32(p + sh::kVirtualSize);
        s.virtualAddress = Le32(p + sh::kVirtualAddress);
        s.sizeOfRawData = Le32(p + sh::kSizeOfRawData);
        s.pointerToRawData = Le32(p + sh::kPointerToRawData);
        s.characteristics = Le32(p + sh::kCharacteristics);
    }
    return result;
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
        name.push_back(UpperUtf16(platform::Windows1252ToUtf16(b)));
    }
    return ResourceKey::Name(std::move(name));
}

LanguageChoice NeutralLanguageChoice(const LanguageDefaults& languages) {
    LanguageChoice choice;
    std::vector<std::uint16_t>& order = choice.order;
    PushLanguage(order, 0);
    PushLanguage(order, languages.thread);
    PushLanguage(order, languages.user);
    PushLanguage(order, Primary(languages.user));
    PushLanguage(order, languages.system);
    PushLanguage(order, Primary(languages.system));
    PushLanguage(order, 0x409);
    choice.thenFirst = true;
    return choice;
}

Result<ResourceTree> ResourceTree::Open(ByteSource& source) {
    Reader reader(source);
    Result<ResourceRoot> root = FindRoot(reader);
    if (!root) return root.failure();
    return ResourceTree(source, root->offset, root->sections);
}

Result<ResourceData> ResourceTree::Find(const ResourceKey& type, const ResourceKey& name,
                                        const LanguageChoice& languages) {
    Reader reader(*source_);
    ResourceWalker walker(reader, root_);

    std::optional<Directory> top = walker.Root();
    if (!top) return Failure::ResourceDirectoryPastEnd;
    ResourceWalker::Found typeDir = walker.ByKey(*top, type, true);
    if (!typeDir) return typeDir.failure();
    if (!*typeDir) return Failure::NoSuchType;
    std::optional<Directory> types = walker.DirectoryAt(**typeDir);
    if (!types) return Failure::ResourceDirectoryPastEnd;
    ResourceWalker::Found nameDir = walker.ByKey(*types, name, true);
    if (!nameDir) return nameDir.failure();
    if (!*nameDir) return Failure::NoSuchName;
    std::optional<Directory> langs = walker.DirectoryAt(**nameDir);
    if (!langs) return Failure::ResourceDirectoryPastEnd;

    ResourceWalker::Found data = ResourceWalker::NotThere();
    for (std::uint16_t language : languages.order) {
        data = walker.ById(*langs, language, false);
        if (!data || *data) break;
    }
    if (data && !*data && languages.thenFirst) data = walker.FirstData(*langs);
    if (!data) return data.failure();
    if (!*data) return Failure::NoSuchLanguage;
    const std::uint64_t dataEntry = **data;

    unsigned char entry[resource_data::kSize];
    if (!reader.Read(dataEntry, entry, sizeof entry)) return Failure::ResourceDataOutside;
    std::optional<std::uint64_t> at = sections_.FileOffset(Le32(entry + resource_data::kOffsetToData));
    std::uint32_t size = Le32(entry + resource_data::kDataSize);
    if (!at || !reader.Fits(*at, size)) return Failure::ResourceDataOutside;
    ResourceData result;
    result.fileOffset = *at;
    result.size = size;
    result.entryOffset = dataEntry;
    result.language = walker.LanguageOf(*langs, dataEntry).value_or(0);
    return result;
}

std::vector<ResourceListing> ResourceTree::List(std::size_t limit) {
    std::vector<ResourceListing> list;
    Visit([&](const ResourceVisit& r) { list.push_back({r.type, r.name, r.language}); }, limit);
    return list;
}

void ResourceTree::Visit(const std::function<void(const ResourceVisit&)>& visit, std::size_t limit) {
    Reader reader(*source_);
    ResourceWalker walker(reader, root_);
    // Exactly three levels: type, name, language. The stack holds the
    // directory of each level entered and the next entry to look at there;
    // a language entry that is a directory is not followed, so neither loops
    // nor deep trees are walked. An entry that cannot be read ends its
    // directory; one that cannot be followed is passed over.
    constexpr std::size_t kLanguageLevel = 2;
    struct Level {
        Directory dir;
        int next = 0;
    };
    std::vector<Level> stack;
    std::array<ResourceKey, kLanguageLevel> path;        // the type and the name entered
    std::array<std::uint32_t, kLanguageLevel> nameAt{};  // where their texts lie; 0 for identifiers
    // The key of an entry at a level, its name read only when it lies
    // elsewhere than the name the level holds.
    auto enter = [&](const Entry& e, int pos, const Directory& dir, std::size_t depth) {
        if (pos >= dir.named) {
            path[depth] = ResourceKey::Id(e.Id());
            nameAt[depth] = 0;
            return true;
        }
        if (nameAt[depth] != 0 && nameAt[depth] == e.NameOffset() && !path[depth].isId) return true;
        std::optional<std::u16string> text = walker.NameAt(e.NameOffset());
        if (!text) return false;
        path[depth] = ResourceKey::Name(std::move(*text));
        nameAt[depth] = e.NameOffset();
        return true;
    };
    if (std::optional<Directory> top = walker.Root()) stack.push_back({*top, 0});
    std::size_t budget = kListingEntryBudget;
    std::size_t visited = 0;
    while (!stack.empty() && visited < limit && budget > 0) {
        --budget;
        Level& level = stack.back();
        const std::size_t depth = stack.size() - 1;
        const int pos = level.next++;
        std::optional<Entry> e;
        if (pos < level.dir.named + level.dir.ids) e = walker.EntryAt(level.dir, pos);
        if (!e) {
            stack.pop_back();
            continue;
        }
        if (depth == kLanguageLevel) {
            if (e->IsDirectory()) continue;
            ++visited;
            visit(ResourceVisit{path[0], path[1], e->Id(), nameAt[0], nameAt[1]});
            continue;
        }
        if (!e->IsDirectory()) continue;
        const Directory& here = level.dir;
        std::optional<Directory> sub = walker.DirectoryAt(root_ + e->Offset());
        if (!sub || !enter(*e, pos, here, depth)) continue;
        stack.push_back({*sub, 0});
    }
}

Result<ResourceData> FindResourceData(ByteSource& source, const ResourceKey& type, const ResourceKey& name,
                                      const LanguageDefaults& languages) {
    Result<ResourceTree> tree = ResourceTree::Open(source);
    if (!tree) return tree.failure();
    return tree->Find(type, name, NeutralLanguageChoice(languages));
}

std::vector<ResourceListing> ListResources(ByteSource& source, std::size_t limit) {
    Result<ResourceTree> tree = ResourceTree::Open(source);
    if (!tree) return {};
    return tree->List(limit);
}

}  // namespace ondrel::pe
