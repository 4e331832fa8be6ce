// What a file is, as far as the rules care: found, readable, a PE image, its
// sections and resources, each section and resource with what its rule
// computes. The image is parsed once however many sections and resources it
// has; names that many resource entries share are converted once.
#include "tools/rules/file_facts.h"

#include <cstring>
#include <map>
#include <unordered_map>

#include "checks/integer_text.h"
#include "checks/resource_rules.h"
#include "checks/section_rules.h"
#include "checksums/md5.h"
#include "platform/find.h"
#include "platform/image.h"
#include "platform/pe/pe_reader.h"
#include "platform/reader.h"
#include "platform/result.h"
#include "platform/windows1252.h"

namespace ondrel::tool {

namespace {

constexpr std::uint32_t kCodeSection = 0x20;  // IMAGE_SCN_CNT_CODE

// UTF-16 to Windows-1252; nothing when a character has no byte there.
std::optional<std::string> To1252(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        std::optional<unsigned char> byte = platform::Utf16ToWindows1252(c);
        if (!byte || *byte == 0) return std::nullopt;
        out.push_back(static_cast<char>(*byte));
    }
    return out;
}

// The text of a type or name key as the rules take it, and why the lookup
// would not find that key again from the text.
struct KeyText {
    std::string text;
    std::string whyNot;
    pe::ResourceKey key;
};

std::string TypeIdText(std::uint16_t id) {
    for (const ResourceTypeName& t : ResourceTypeNames())
        if (t.id == id) return std::string(t.text);
    std::string text(1, '#');
    return text.append(std::to_string(id));
}

// The lookup finds a named key again from its text; or why not.
platform::Outcome FoundAgain(const std::string& text, const pe::ResourceKey& key, bool isType) {
    using platform::Reason;
    std::optional<pe::ResourceKey> back = pe::ResourceKeyFromAnsi(text);
    if (!back || back->isId || back->name != key.name)
        return Reason{"the lookup upper-cases names, and this one has small letters"};
    if (!isType && ParseIntegerText(text)) return Reason{"its name reads as a number"};
    if (isType)
        for (const ResourceTypeName& t : ResourceTypeNames())
            if (t.text == text) return Reason{"its type name is that of an identifier"};
    if (text.find('|') != std::string::npos)
        return Reason{isType ? "its type name holds a \"|\"" : "its name holds a \"|\""};
    return platform::Done{};
}

KeyText NamedKeyText(const pe::ResourceKey& key, bool isType) {
    std::optional<std::string> text = To1252(key.name);
    if (!text) return {"?", "its name holds characters outside the ANSI code page", key};
    const platform::Outcome found = FoundAgain(*text, key, isType);
    return {*text, found ? std::string() : found.failure().text, key};
}

// The key texts of one level (types or names), each converted once: a
// number for every distinct key, equal for keys of equal text and kind.
class KeyTexts {
public:
    explicit KeyTexts(bool isType) : isType_(isType) {}

    std::size_t Of(const pe::ResourceKey& key, std::uint32_t nameOffset) {
        if (key.isId) return Intern(key.id, [&] {
                return KeyText{isType_ ? TypeIdText(key.id) : std::to_string(key.id), {}, key};
            });
        auto known = byOffset_.find(nameOffset);
        if (known != byOffset_.end()) return known->second;
        KeyText text = NamedKeyText(key, isType_);
        auto [at, added] = byText_.try_emplace(text.text, texts_.size());
        if (added) texts_.push_back(std::move(text));
        byOffset_.emplace(nameOffset, at->second);
        return at->second;
    }
    const KeyText& operator[](std::size_t index) const { return texts_[index]; }

private:
    template <typename Make>
    std::size_t Intern(std::uint16_t id, Make make) {
        auto [at, added] = byId_.try_emplace(id, texts_.size());
        if (added) texts_.push_back(make());
        return at->second;
    }

    bool isType_;
    std::unordered_map<std::uint16_t, std::size_t> byId_;
    std::unordered_map<std::uint32_t, std::size_t> byOffset_;
    std::unordered_map<std::string, std::size_t> byText_;
    std::vector<KeyText> texts_;
};

// The file read in blocks of 64 KiB, the last 64 of them kept: the many
// small reads of directory entries that lookups make cost few reads of the
// file. Reads larger than a block go to the file.
class BlockCache final : public pe::ByteSource {
public:
    explicit BlockCache(pe::ByteSource& file) : file_(file) {}
    std::uint64_t Size() const noexcept override { return file_.Size(); }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) override {
        const std::uint64_t block = offset / kBlock;
        // A read of nothing (the name of length 0) may come with no buffer at all.
        if (count == 0 || count > kBlock || (offset + count - 1) / kBlock != block || offset + count > Size())
            return file_.ReadAt(offset, out, count);
        const std::string* bytes = Block(block);
        if (!bytes) return false;
        std::memcpy(out, bytes->data() + (offset - block * kBlock), count);
        return true;
    }

private:
    static constexpr std::uint64_t kBlock = 65536;
    static constexpr std::size_t kKept = 64;

    const std::string* Block(std::uint64_t block) {
        auto found = blocks_.find(block);
        if (found != blocks_.end()) return &found->second;
        if (blocks_.size() >= kKept) blocks_.erase(blocks_.begin());
        std::string bytes(static_cast<std::size_t>(std::min(kBlock, Size() - block * kBlock)), '\0');
        if (!file_.ReadAt(block * kBlock, bytes.data(), bytes.size())) return nullptr;
        return &blocks_.emplace(block, std::move(bytes)).first->second;
    }

    pe::ByteSource& file_;
    std::map<std::uint64_t, std::string> blocks_;
};

std::string DigestOfRange(platform::FileReader& file, std::uint64_t offset, std::uint32_t size, bool& complete) {
    Md5Stream digest;
    complete = file.ReadRange(offset, size, [&](const unsigned char* data, std::size_t n) {
        digest.Update(data, n);
    }) == platform::RangeEnd::Complete;
    return DigestText(digest.Finish());
}

void Presence(FileFacts& facts, const std::string& fileName) {
    if (std::optional<platform::DirectoryEntry> entry = platform::FindFirstEntry(fileName)) {
        facts.found = true;
        facts.directory = entry->isDirectory;
    }
}

// An SSECMD5 entry names the section at index i of the table; or why none can.
platform::Outcome SectionNamed(const FileFacts& facts, std::size_t i, const std::map<std::string, std::size_t>& last) {
    using platform::Reason;
    const SectionFacts& s = facts.sections[i];
    if (!facts.completeTable) return Reason{"the section table runs past the end of the file"};
    if (s.name.empty()) return Reason{"it has no name"};
    if (s.name.find('-') != std::string::npos) return Reason{"its name holds a \"-\", which ends the name in the rule"};
    if (last.at(s.name) != i) return Reason{"a later section has the same name, and the rule takes the last"};
    if (s.sizeOfRawData == 0) return Reason{"it has no raw bytes"};
    return platform::Done{};
}

void DigestSections(FileFacts& facts, platform::FileReader& file) {
    // As for SECMD5, at most kSectionBytesPerFileByte times the file's size
    // is read for all sections together.
    std::uint64_t budget = kSectionBytesPerFileByte * std::max<std::uint64_t>(file.Size(), 1);
    for (SectionFacts& s : facts.sections) {
        if (!s.whyNoRule.empty()) continue;
        if (s.sizeOfRawData > budget) {
            s.whyNoRule = "not digested: the sections together cover more than 16 times the file";
            facts.digestsLeftOut = s.whyNoRule;
            continue;
        }
        budget -= s.sizeOfRawData;
        Md5Stream digest;
        if (!ReadFileRegion(file, digest, static_cast<std::int32_t>(s.pointerToRawData),
                            static_cast<std::int32_t>(s.sizeOfRawData)))
            s.whyNoRule = "its raw bytes cannot be read";
        else
            s.digest = DigestText(digest.Finish());
    }
}

void ReadSections(FileFacts& facts, platform::FileReader& file, unsigned wanted) {
    pe::Result<pe::SectionTable> table = pe::ReadSectionTable(file);
    if (!table) {
        facts.whyNotPe = pe::FailureText(table.failure());
        return;
    }
    facts.pe = true;
    facts.completeTable = table->complete();
    std::map<std::string, std::size_t> last;  // the last section of each name
    for (const pe::SectionHeader& h : table->headers) {
        SectionFacts s;
        s.name = SectionNameText(h.name);
        s.pointerToRawData = h.pointerToRawData;
        s.sizeOfRawData = h.sizeOfRawData;
        s.code = (h.characteristics & kCodeSection) != 0;
        last[s.name] = facts.sections.size();
        facts.sections.push_back(std::move(s));
    }
    for (std::size_t i = 0; i < facts.sections.size(); ++i) {
        facts.sections[i].laterSameName = last.at(facts.sections[i].name) != i;
        const platform::Outcome named = SectionNamed(facts, i, last);
        if (!named) facts.sections[i].whyNoRule = named.failure().text;
    }
    if (wanted & kSectionDigests) DigestSections(facts, file);
}

void AddLanguage(ResourceFacts& row, std::uint16_t language) {
    if (std::find(row.languages.begin(), row.languages.end(), language) == row.languages.end())
        row.languages.push_back(language);
}

// The size, language and digest of what the lookup finds for the row's keys.
void MeasureResource(ResourceFacts& row, const KeyText& type, const KeyText& name, pe::ResourceTree& tree,
                     platform::FileReader& file, const pe::LanguageChoice& choice, bool digest) {
    pe::Result<pe::ResourceData> data = tree.Find(type.key, name.key, choice);
    if (!data) return;
    row.size = data->size;
    row.language = data->language;
    if (!digest || !row.whyNoRule.empty()) return;
    bool complete = false;
    std::string text = DigestOfRange(file, data->fileOffset, data->size, complete);
    if (complete) row.digest = std::move(text);
}

void ReadResources(FileFacts& facts, platform::FileReader& file, unsigned wanted) {
    BlockCache source(file);
    pe::Result<pe::ResourceTree> tree = pe::ResourceTree::Open(source);
    if (!tree) return;
    KeyTexts types(true), names(false);
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> rows;  // one per type and name
    std::vector<std::pair<std::size_t, std::size_t>> keysOfRow;
    tree->Visit([&](const pe::ResourceVisit& r) {
        const std::pair key(types.Of(r.type, r.typeNameOffset), names.Of(r.name, r.nameNameOffset));
        auto [at, added] = rows.try_emplace(key, facts.resources.size());
        if (added) {
            ResourceFacts row;
            row.typeText = types[key.first].text;
            row.nameText = names[key.second].text;
            row.typeId = r.type.isId ? r.type.id : 0;
            row.whyNoRule = !types[key.first].whyNot.empty() ? types[key.first].whyNot : names[key.second].whyNot;
            facts.resources.push_back(std::move(row));
            keysOfRow.push_back(key);
        }
        AddLanguage(facts.resources[at->second], r.language);
    });
    // The languages the rules' lookup prefers on this platform, so that a
    // resource of several languages is digested in the one the rules read.
    const pe::LanguageChoice choice = pe::NeutralLanguageChoice(platform::ResourceLookupLanguages());
    for (std::size_t i = 0; i < facts.resources.size(); ++i)
        MeasureResource(facts.resources[i], types[keysOfRow[i].first], names[keysOfRow[i].second], *tree, file,
                        choice, (wanted & kResourceDigests) != 0);
}

}  // namespace

bool HasWildcard(const std::string& fileName) {
    std::size_t start = fileName.find_last_of("/\\");
    start = start == std::string::npos ? 0 : start + 1;
    return fileName.find_first_of("*?", start) != std::string::npos;
}

FileFacts ProbeFile(const std::string& fileName, unsigned wanted, const platform::FileBytes* kept) {
    FileFacts facts;
    if (wanted & kPresence) Presence(facts, fileName);
    if ((wanted & ~unsigned{kPresence}) == 0) return facts;
    platform::Result<platform::FileReader, platform::OpenFailure> file =
        kept ? platform::Result<platform::FileReader, platform::OpenFailure>(platform::FileReader::Over(*kept))
             : platform::FileReader::Open(fileName, platform::Share::ReadWrite);
    if (!file) {
        facts.whyNotOpened = platform::OpenFailureText(file.failure());
        return facts;
    }
    facts.opened = true;
    facts.size = file->Size();
    if ((wanted & ~unsigned{kPresence | kOpen}) == 0) return facts;
    ReadSections(facts, *file, wanted);
    if (facts.pe && (wanted & (kResources | kResourceDigests))) ReadResources(facts, *file, wanted);
    return facts;
}

}  // namespace ondrel::tool
