// What a file is, as far as the rules care: found, readable, a PE image, its
// sections and resources.
#include <cstring>
#include <map>

#include "checks/integer_text.h"
#include "platform/file.h"
#include "platform/reader.h"
#include "platform/find.h"
#include "platform/pe/file_source.h"
#include "platform/windows1252.h"
#include "platform/pe/pe_reader.h"
#include "checks/resource_rules.h"
#include "tools/tool.h"

namespace ondrel::tool {

namespace {

constexpr std::uint32_t kCodeSection = 0x20;  // IMAGE_SCN_CNT_CODE

// UTF-16 to Windows-1252; nothing when a character has no byte there.
std::optional<std::string> To1252(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        std::optional<unsigned char> byte = platform::Utf16ToWindows1252(c);
        if (!byte || *byte == 0) return std::nullopt;
        out.push_back(static_cast<char>(*byte));
    }
    return out;
}

// The text of a type or name key as the rules take it, and whether the
// lookup finds that key again from the text.
struct KeyText {
    std::string text;
    std::string whyNot;
};

KeyText NameKeyText(const pe::ResourceKey& key, bool isType) {
    if (key.isId) {
        if (isType)
            for (const ResourceTypeName& t : ResourceTypeNames())
                if (t.id == key.id) return {std::string(t.text), {}};
        std::string text = isType ? "#" : "";
        text += std::to_string(key.id);
        return {text, {}};
    }
    std::optional<std::string> text = To1252(key.name);
    if (!text) return {"?", "its name holds characters outside the ANSI code page"};
    KeyText result{*text, {}};
    std::optional<pe::ResourceKey> back = pe::ResourceKeyFromAnsi(*text);
    if (!back || back->isId || back->name != key.name)
        result.whyNot = "the lookup upper-cases names, and this one has small letters";
    else if (!isType && ParseIntegerText(*text))
        result.whyNot = "its name reads as a number";
    else if (isType)
        for (const ResourceTypeName& t : ResourceTypeNames())
            if (t.text == *text) result.whyNot = "its type name is that of an identifier";
    return result;
}

}  // namespace

FileFacts ProbeFile(const std::string& fileName) {
    FileFacts facts;
    if (std::optional<platform::DirectoryEntry> entry = platform::FindFirstEntry(fileName)) {
        facts.found = true;
        facts.directory = entry->isDirectory;
    }
    platform::Result<platform::FileReader, platform::OpenFailure> file =
        platform::FileReader::Open(fileName, platform::Share::ReadWrite);
    if (!file) return facts;
    facts.opened = true;
    facts.size = file->Size();

    pe::FileSource source(*file);
    pe::Result<pe::ImageHeaders> headers = pe::ReadImageHeaders(source);
    pe::Result<pe::SectionTable> table = pe::ReadSectionTable(source);
    if (!headers || !table) {
        facts.whyNotPe = pe::FailureText(headers ? table.failure() : headers.failure());
        return facts;
    }
    facts.pe = true;
    for (std::size_t i = 0; i < table->headers.size(); ++i) {
        const pe::SectionHeader& h = table->headers[i];
        SectionFacts s;
        s.name.assign(h.name.data(), strnlen(h.name.data(), h.name.size()));
        s.pointerToRawData = h.pointerToRawData;
        s.sizeOfRawData = h.sizeOfRawData;
        s.characteristics = h.characteristics;
        s.code = (s.characteristics & kCodeSection) != 0;
        facts.sections.push_back(std::move(s));
    }

    // One row per type and name, its languages gathered, in directory order.
    std::map<std::pair<std::string, std::string>, std::size_t> rows;
    for (const pe::ResourceListing& r : pe::ListResources(source)) {
        KeyText type = NameKeyText(r.type, true);
        KeyText name = NameKeyText(r.name, false);
        std::string typeKey = type.text, nameKey = name.text;
        typeKey += r.type.isId ? "\n#id" : "\n#name";
        nameKey += r.name.isId ? "\n#id" : "\n#name";
        auto key = std::make_pair(typeKey, nameKey);
        auto found = rows.find(key);
        if (found != rows.end()) {
            facts.resources[found->second].languages.push_back(r.language);
            continue;
        }
        ResourceFacts row;
        row.typeText = type.text;
        row.nameText = name.text;
        row.typeId = r.type.isId ? r.type.id : 0;
        row.whyNot = !type.whyNot.empty() ? type.whyNot : name.whyNot;
        if (row.whyNot.empty() && type.text.find('|') != std::string::npos) row.whyNot = "its type name holds a \"|\"";
        if (row.whyNot.empty() && name.text.find('|') != std::string::npos) row.whyNot = "its name holds a \"|\"";
        row.languages.push_back(r.language);
        if (pe::Result<pe::ResourceData> data = pe::FindResourceData(source, r.type, r.name)) row.size = data->size;
        rows.emplace(key, facts.resources.size());
        facts.resources.push_back(std::move(row));
    }
    return facts;
}

}  // namespace ondrel::tool
