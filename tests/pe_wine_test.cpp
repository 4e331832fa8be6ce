// Our PE reader against the platform's own services, on every image of the
// system folder and on images built here: the section table against the
// image-help service, and every resource against the module loader's lookup
// on the file mapped as a data file. Built for Windows only (run under Wine).
// GCC 12 warns falsely about string concatenations inlined here.
#pragma GCC diagnostic ignored "-Wrestrict"

#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "checksums/md5.h"
#include "ondrel.h"
#include "platform/file.h"
#include "platform/image.h"
#include "platform/pe/pe_reader.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"
#include "tests/support/digests.h"

namespace {

using ondrel::pe::ResourceKey;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::PeResource;

struct Counts {
    int images = 0, notImages = 0, sections = 0, resources = 0, languages = 0, lookups = 0, languageLookups = 0;
    std::vector<std::string> disagreements;
    void Disagree(const std::string& file, const std::string& what) {
        if (disagreements.size() < 40) disagreements.push_back(file + ": " + what);
        else if (disagreements.size() == 40) disagreements.push_back("...");
    }
};

ondrel::pe::LanguageDefaults Defaults() {
    ondrel::pe::LanguageDefaults d;
    d.thread = LANGIDFROMLCID(GetThreadLocale());
    d.user = LANGIDFROMLCID(GetUserDefaultLCID());
    d.system = LANGIDFROMLCID(GetSystemDefaultLCID());
    return d;
}

void CompareSections(const std::string& file, ondrel::pe::ByteSource& source, Counts& counts) {
    std::optional<ondrel::pe::SectionTable> ours = ondrel::pe::ReadSectionTable(source);
    std::optional<ondrel::pe::SectionTable> theirs = ondrel::platform::LoadSectionHeaders(file);
    if (ours.has_value() != theirs.has_value()) {
        counts.Disagree(file, std::string("image accepted by ") + (ours ? "our reader only" : "the service only"));
        return;
    }
    if (!ours) {
        ++counts.notImages;
        return;
    }
    ++counts.images;
    if (ours->numberOfSections != theirs->numberOfSections || ours->complete() != theirs->complete() ||
        ours->headers.size() != theirs->headers.size()) {
        counts.Disagree(file, "section count");
        return;
    }
    for (std::size_t i = 0; i < ours->headers.size(); ++i) {
        const auto& a = ours->headers[i];
        const auto& b = theirs->headers[i];
        ++counts.sections;
        if (a.name != b.name || a.sizeOfRawData != b.sizeOfRawData || a.pointerToRawData != b.pointerToRawData)
            counts.Disagree(file, "section " + std::to_string(i));
    }
}

// The 8-bit text that names a directory key in a lookup; nothing when the
// name cannot be written in the ANSI code page.
std::optional<std::string> AnsiOf(const ResourceKey& key) {
    if (key.isId) return "#" + std::to_string(key.id);
    std::wstring wide(key.name.begin(), key.name.end());
    if (wide.find(L'\0') != std::wstring::npos) return std::nullopt;
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(), n, nullptr, &lossy);
    if (lossy) return std::nullopt;
    return text;
}

struct Module {
    HMODULE handle;
    explicit Module(const std::string& file) : handle(LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~Module() {
        if (handle) FreeLibrary(handle);
    }
};

// One lookup on both sides: the same data entry, the same size, the same
// bytes. Without a language, the choice FindResourceA makes; with one, that
// language exactly (FindResourceExA).
void CompareLookup(const std::string& file, ondrel::pe::ByteSource& source, const Module& module,
                   const std::string& typeText, const std::string& nameText, Counts& counts,
                   std::optional<WORD> language = std::nullopt) {
    ++(language ? counts.languageLookups : counts.lookups);
    std::optional<ResourceKey> type = ondrel::pe::ResourceKeyFromAnsi(typeText);
    std::optional<ResourceKey> name = ondrel::pe::ResourceKeyFromAnsi(nameText);
    std::optional<ondrel::pe::ResourceData> ours;
    if (type && name)
        ours = language ? ondrel::testing::FindResourceDataInLanguage(source, *type, *name, *language)
                        : ondrel::pe::FindResourceData(source, *type, *name, Defaults());
    std::string ourDigest;
    if (ours) {
        std::string bytes(ours->size, '\0');
        if (!source.ReadAt(ours->fileOffset, bytes.data(), bytes.size())) ours.reset();
        else ourDigest = ondrel::testing::DigestOfBytes(bytes.data(), bytes.size());
    }
    HRSRC found = !module.handle ? nullptr
                  : language     ? FindResourceExA(module.handle, typeText.c_str(), nameText.c_str(), *language)
                                 : FindResourceA(module.handle, nameText.c_str(), typeText.c_str());
    HGLOBAL data = found ? LoadResource(module.handle, found) : nullptr;
    const void* address = data ? LockResource(data) : nullptr;
    std::string what = "type " + typeText + " name " + nameText;
    if (language) what += " language " + std::to_string(*language);
    const auto base = reinterpret_cast<std::uintptr_t>(module.handle) & ~std::uintptr_t{3};
    const bool dataFile = (reinterpret_cast<std::uintptr_t>(module.handle) & 3) != 0;
    if (!address) {
        if (ours) counts.Disagree(file, what + ": found by our reader only");
        return;
    }
    const DWORD size = SizeofResource(module.handle, found);
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const bool inside = !dataFile || (at >= base && at - base <= source.Size() && source.Size() - (at - base) >= size);
    if (!ours) {
        if (inside) counts.Disagree(file, what + ": found by the service only");
        return;
    }
    if (dataFile && reinterpret_cast<std::uintptr_t>(found) - base != ours->entryOffset)
        counts.Disagree(file, what + ": another language chosen");
    else if (size != ours->size || ondrel::testing::DigestOfBytes(address, size) != ourDigest)
        counts.Disagree(file, what + ": other bytes");
}

void CompareResources(const std::string& file, ondrel::pe::ByteSource& source, Counts& counts,
                      const std::vector<std::pair<std::string, std::string>>& extraLookups = {}) {
    std::vector<ondrel::pe::ResourceListing> listing = ondrel::pe::ListResources(source);
    Module module(file);
    std::set<std::pair<std::string, std::string>> pairs;
    for (const auto& item : listing) {
        ++counts.languages;
        std::optional<std::string> type = AnsiOf(item.type), name = AnsiOf(item.name);
        if (!type || !name) continue;
        pairs.insert({*type, *name});
        // FindResourceExA with the neutral language is FindResourceA, compared below.
        if (item.language != 0) CompareLookup(file, source, module, *type, *name, counts, item.language);
    }
    counts.resources += static_cast<int>(pairs.size());
    for (const auto& [type, name] : pairs) CompareLookup(file, source, module, type, name, counts);
    for (const auto& [type, name] : extraLookups) CompareLookup(file, source, module, type, name, counts);
}

void CompareFile(const std::string& file, Counts& counts,
                 const std::vector<std::pair<std::string, std::string>>& extraLookups = {}) {
    auto opened = ondrel::platform::FileReader::Open(file, ondrel::platform::Share::ReadWrite);
    if (!opened) return;
    ondrel::platform::FileReader& source = *opened;
    CompareSections(file, source, counts);
    CompareResources(file, source, counts, extraLookups);
}

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> files;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(folder + "\\" + data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return files;
}

void Report(const char* what, const Counts& c) {
    std::printf("%s: %d images, %d other files, %d sections, %d resources in %d languages, %d lookups, "
                "%d lookups by language, %zu disagreements\n",
                what, c.images, c.notImages, c.sections, c.resources, c.languages, c.lookups, c.languageLookups,
                c.disagreements.size());
    for (const std::string& d : c.disagreements) std::printf("  %s\n", d.c_str());
}

TEST(PeReaderAgainstServices, SystemImages) {
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    std::vector<std::string> files = FilesIn(system);
    char windows[MAX_PATH];
    if (GetWindowsDirectoryA(windows, MAX_PATH)) {
        std::vector<std::string> wow = FilesIn(std::string(windows) + "\\syswow64");
        files.insert(files.end(), wow.begin(), wow.end());
    }
    Counts counts;
    for (const std::string& file : files) CompareFile(file, counts);
    Report("system images", counts);
    EXPECT_GT(counts.images, 100);
    EXPECT_GT(counts.resources, 100);
    EXPECT_TRUE(counts.disagreements.empty());
}

PeResource Res(PeKey type, PeKey name, std::uint16_t language, std::string data) {
    return {std::move(type), std::move(name), language, std::move(data)};
}

std::vector<std::string> CraftedImages() {
    std::vector<std::string> images;
    PeImage a;
    a.sections = {{"CODE", "code"}, {"ABCDEFGH", "eight"}, {"CODE", ""}};
    a.resources = {Res(PeKey::Id(14), PeKey::Name(u"MAINICON"), 0x409, "icon"),
                   Res(PeKey::Id(2), PeKey::Id(100), 0x409, "bitmap"),
                   Res(PeKey::Id(2), PeKey::Id(0), 0x409, "zero"),
                   Res(PeKey::Id(2), PeKey::Name(u"100"), 0x409, "named 100"),
                   Res(PeKey::Name(u"CUSTOM"), PeKey::Name(u"lower"), 0, "lower"),
                   Res(PeKey::Name(u"CUSTOM"), PeKey::Name(u"\u00C9T\u00C9\u0178\u0152\u00B5"), 0, "accents"),
                   Res(PeKey::Name(u"14"), PeKey::Name(u"MAINICON"), 0, "type 14 named")};
    for (std::uint16_t l : std::initializer_list<std::uint16_t>{0x407, 0x409, 0x009, 0x000, 0x40C, 0x809})
        a.resources.push_back(Res(PeKey::Id(10), PeKey::Id(l), l, "lang " + std::to_string(l)));
    const std::vector<std::vector<std::uint16_t>> sets = {{0x407, 0x409}, {0x407, 0x009}, {0x40C, 0x407}, {0x000, 0x409}, {0x411}, {0x809, 0x009}};
    for (std::size_t i = 0; i < sets.size(); ++i)
        for (std::uint16_t l : sets[i])
            a.resources.push_back(Res(PeKey::Id(6), PeKey::Id(static_cast<std::uint16_t>(i + 1)), l, "set " + std::to_string(l)));
    for (int i = 0; i < 40; ++i)
        a.resources.push_back(Res(PeKey::Id(10), PeKey::Name(u"N" + std::u16string(static_cast<std::size_t>(i % 7), u'A') +
                                                              static_cast<char16_t>(u'A' + i)), 0x409, "n" + std::to_string(i)));
    images.push_back(a.Bytes());
    a.pe32plus = true;
    images.push_back(a.Bytes());
    a.sortResources = false;
    images.push_back(a.Bytes());
    a.pe32plus = false;
    std::reverse(a.resources.begin(), a.resources.end());
    images.push_back(a.Bytes());
    PeImage bad = a;
    bad.magic = 0x1234;
    images.push_back(bad.Bytes());
    PeImage empty;
    images.push_back(empty.Bytes());
    // Damage: every byte of the headers and the resource directory in turn set to 0xFF.
    PeImage small;
    small.sections = {{"CODE", "abc"}};
    small.resources = {Res(PeKey::Id(14), PeKey::Name(u"MAINICON"), 0x409, "icon"),
                       Res(PeKey::Id(2), PeKey::Id(100), 0, "bitmap")};
    PeImage::Built built = small.Build();
    for (std::size_t at = 0; at < built.sectionTable + 80; at += 3) {
        std::string b = built.bytes;
        b[at] = static_cast<char>(0xFF);
        images.push_back(b);
    }
    for (std::size_t at = built.resourceSection; at < built.resourceSection + 200; ++at) {
        std::string b = built.bytes;
        b[at] = static_cast<char>(b[at] ^ 0x80);
        images.push_back(b);
    }
    std::string truncated = built.bytes;
    truncated.resize(built.sectionTable + 60);
    images.push_back(truncated);
    images.push_back(built.bytes.substr(0, built.resourceSection + 40));
    return images;
}

TEST(PeReaderAgainstServices, CraftedImages) {
    ondrel::testing::TempDir dir;
    Counts counts;
    const std::vector<std::pair<std::string, std::string>> lookups = {
        {"#14", "MAINICON"}, {"#14", "mainicon"}, {"#2", "#100"}, {"#2", "#0100"}, {"#2", "#"}, {"#2", "# 100"},
        {"#2", "#+100"}, {"#2", "#100x"}, {"#2", "#abc"}, {"#2", "#65636"}, {"#2", "#-0"}, {"#2", "100"},
        {"CUSTOM", "LOWER"}, {"custom", "lower"}, {"CUSTOM", "\xE9t\xE9\xFF\x9C\xB5"}, {"14", "MAINICON"},
        {"#10", "#1033"}, {"#6", "#1"}, {"#6", "#2"}, {"#6", "#3"}, {"#6", "#4"}, {"#6", "#5"}, {"#6", "#6"}};
    int n = 0;
    for (const std::string& bytes : CraftedImages()) CompareFile(dir.Write("crafted" + std::to_string(n++) + ".dll", bytes), counts, lookups);
    Report("crafted images", counts);
    EXPECT_TRUE(counts.disagreements.empty());
}

}  // namespace

namespace {

std::string ReadInput(const char* name) {
    std::ifstream in(std::string(ONDREL_RC_INPUTS) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string OwnPath() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

// This program carries resources compiled by the resource compiler.
TEST(CompiledResources, RulesAndReaderAgree) {
    const std::string self = OwnPath();
    const std::string bitmap = ReadInput("bitmap.bmp"), data = ReadInput("data.bin");
    ASSERT_GT(bitmap.size(), 14u);
    const std::string bitmapDigest = ondrel::testing::DigestOfBytes(bitmap.data() + 14, bitmap.size() - 14);
    const std::string dataDigest = ondrel::testing::DigestOfBytes(data.data(), data.size());
    EXPECT_EQ(AdvancedCheck(self.c_str(), ("BRMD5=" + bitmapDigest).c_str()), 1);
    EXPECT_EQ(AdvancedCheck(self.c_str(), ("RESMD5=RT_RCDATA|NAMED|" + dataDigest).c_str()), 1);
    EXPECT_EQ(AdvancedCheck(self.c_str(), ("RESMD5=RT_RCDATA|named|" + dataDigest).c_str()), 1);
    EXPECT_EQ(AdvancedCheck(self.c_str(), ("RESMD5=10|NAMED|" + dataDigest).c_str()), 0);

    // The icon group: the rule's digest is our reader's, and the group lists one icon.
    ondrel::platform::FileReader handle = ondrel::platform::FileReader::OpenOrThrow(self, ondrel::platform::Share::ReadWrite);
    ASSERT_TRUE(handle);
    ondrel::platform::FileReader& source = handle;
    std::optional<ondrel::pe::ResourceData> group =
        ondrel::pe::FindResourceData(source, ResourceKey::Id(14), ResourceKey::Name(u"MAINICON"), Defaults());
    ASSERT_TRUE(group);
    ASSERT_EQ(group->size, 20u);
    std::string bytes(group->size, '\0');
    ASSERT_TRUE(source.ReadAt(group->fileOffset, bytes.data(), bytes.size()));
    EXPECT_EQ(bytes.substr(0, 6), std::string("\0\0\1\0\1\0", 6));
    const std::string groupDigest = ondrel::testing::DigestOfBytes(bytes.data(), bytes.size());
    EXPECT_EQ(AdvancedCheck(self.c_str(), ("ICONMD5=" + groupDigest).c_str()), 1);
    EXPECT_EQ(AdvancedCheck(self.c_str(), ("ICONMD5=MAINICON-" + groupDigest).c_str()), 1);

    Counts counts;
    CompareFile(self, counts, {{"#14", "MAINICON"}, {"#2", "#100"}, {"#10", "NAMED"}});
    Report("compiled image", counts);
    EXPECT_EQ(counts.images, 1);
    EXPECT_GE(counts.resources, 4);
    EXPECT_TRUE(counts.disagreements.empty());
}

}  // namespace
