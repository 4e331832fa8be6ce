// Catalogues, grouped by subcommand: the catalogue format (escapes,
// comments, damaged lines with their numbers); identify (the size index,
// entries without a size rule, many lists against one file with each rule
// computed once and the engine's answers); make --against (the cheapest
// list over families of files that differ near the start, near the end,
// inside a section, in size, or not at all, and the proof).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "checks/engine.h"
#include "checks/file_size.h"
#include "checks/rules.h"
#include "platform/reader.h"
#include "tests/support/digests.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"
#include "tools/catalog/catalog.h"
#include "tools/catalog/catalog_index.h"
#include "tools/rules/file_facts.h"
#include "tools/manifest/manifest.h"
#include "tools/catalog/one_file.h"
#include "tools/catalog/separate.h"

namespace {

using namespace ondrel;
using namespace ondrel::tool;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::TempDir;

bool Holds(const std::string& file, const std::string& list) {
    return Evaluate(file.c_str(), list.c_str(), LibraryKeywords(), nullptr);
}

std::vector<std::string> Items(const std::string& list) {
    std::vector<std::string> items;
    CheckListReader reader(list.c_str());
    while (std::optional<CheckListItem> item = reader.Next()) items.push_back(item->text);
    return items;
}

std::string Keyword(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// Random bytes from a fixed generator start, so every run builds the same files.
std::string RandomBytes(std::size_t n, unsigned start) {
    std::mt19937 rng(start);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
    return bytes;
}

std::string Flipped(std::string bytes, std::size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    return bytes;
}

// ---- the catalogue format ----

TEST(CatalogueFormat, EntriesCommentsEscapesAndDamageWithLineNumbers) {
    const std::string text =
        "\xEF\xBB\xBF# known versions\r\n"                // 1: byte-order mark, comment, CR LF
        "app 1.0\tFILESIZE=3,MD5=AB\r\n"                  // 2
        "\n"                                              // 3
        "   # indented comment\n"                         // 4
        "tab\\there\tSIZEMD5=0|1|CD\n"                    // 5: \t in the name
        "back\\\\slash\t\"SSECMD5=.my text-EF\"\n"        // 6: \\ in the name, a quoted entry
        "no tab at all\n"                                 // 7
        "bad\\qescape\tMD5=1\n"                           // 8
        "\tMD5=2\n"                                       // 9: no name
        "empty list\t\n"                                  // 10
        "app 1.0\tMD5=3\n"                                // 11: the name of line 2 again
        "last\tFILESIZE=9";                               // 12: no line end
    const Catalogue c = ParseCatalogue(text);
    ASSERT_EQ(c.entries.size(), 4u);
    EXPECT_EQ(c.entries[0].line, 2u);
    EXPECT_EQ(c.entries[0].name, "app 1.0");
    EXPECT_EQ(c.entries[0].checkList, "FILESIZE=3,MD5=AB");
    EXPECT_EQ(c.entries[1].name, "tab\there");
    EXPECT_EQ(c.entries[2].name, "back\\slash");
    EXPECT_EQ(c.entries[2].checkList, "\"SSECMD5=.my text-EF\"");
    EXPECT_EQ(c.entries[3].line, 12u);
    EXPECT_EQ(c.entries[3].name, "last");

    const std::vector<std::pair<std::size_t, std::string>> damaged = {
        {7, "no TAB"}, {8, "backslash"}, {9, "no name"}, {10, "no entry"}, {11, "the name of line 2 again"}};
    ASSERT_EQ(c.damaged.size(), damaged.size());
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        EXPECT_EQ(c.damaged[i].line, damaged[i].first);
        EXPECT_NE(c.damaged[i].damage.find(damaged[i].second), std::string::npos) << c.damaged[i].damage;
    }
}

// A list with no entry would hold for every file: in a catalogue it would
// name any file, in a manifest it would verify any file. Whatever bytes such
// a list holds, its line is damaged in both, and the line is not used.
// The mark make --against writes holds for the entry on the very next line only.
TEST(CatalogueFormat, TheAgainstMarkMarksTheNextLineOnly) {
    const struct {
        const char* name;
        std::string text;
        std::vector<bool> marked;  // of each entry, in order
    } cases[] = {
        {"mark then entry", "#against\t3\na\tMD5=1\nb\tMD5=2\n", {true, false}},
        {"mark without a count", "#against\na\tMD5=1\n", {true}},
        {"mark after blanks, CR LF", "  #against\t1\r\na\tMD5=1\r\n", {true}},
        {"a blank line between", "#against\t3\n\na\tMD5=1\n", {false}},
        {"another comment between", "#against\t3\n# note\na\tMD5=1\n", {false}},
        {"a damaged line between", "#against\t3\nno tab\na\tMD5=1\n", {false}},
        {"a longer word is no mark", "#againstX\na\tMD5=1\n#against-all\tx\nb\tMD5=2\n", {false, false}},
        {"a mark at the end", "a\tMD5=1\n#against\t2\n", {false}},
    };
    for (const auto& c : cases) {
        const Catalogue catalogue = ParseCatalogue(c.text);
        std::vector<bool> marked;
        for (const CatalogueEntry& e : catalogue.entries) marked.push_back(e.neighboursOnly);
        EXPECT_EQ(marked, c.marked) << c.name;
    }
}

TEST(CatalogueFormat, ListsWithoutAnEntryAreDamagedInCataloguesAndManifests) {
    const struct {
        const char* name;
        std::string list;
        bool hasEntry;
    } cases[] = {
        {"blank", " ", false},
        {"tab", "\t", false},
        {"control bytes", "\x01\x02\x1f", false},
        {"line feed and return", "\n\r", false},
        {"lone comma", ",", false},
        {"commas and blanks", " , ,,\x7f, ", true},  // byte 127 is no blank: an (unknown) entry
        {"commas only", ",,,", false},
        {"one entry", "FILESIZE=1", true},
        {"an entry after commas", ",, MD5=1", true},
        {"a quoted blank", "\" \"", true},  // an entry named " ": unknown, so it fails, never holds
    };
    for (const auto& c : cases) {
        const Catalogue catalogue = ParseCatalogue(CatalogueLine("app 1.0", c.list) + "\n");
        EXPECT_EQ(catalogue.entries.size(), c.hasEntry ? 1u : 0u) << c.name;
        if (!c.hasEntry) {
            ASSERT_EQ(catalogue.damaged.size(), 1u) << c.name;
            EXPECT_EQ(catalogue.damaged[0].line, 1u) << c.name;
            EXPECT_NE(catalogue.damaged[0].damage.find("no entry"), std::string::npos) << catalogue.damaged[0].damage;
        }
        const ManifestLines manifest = ParseManifest(EscapeField(c.list) + "\tfile\n");
        ASSERT_EQ(manifest.size(), 1u) << c.name;
        EXPECT_EQ(manifest[0].damage.empty(), c.hasEntry) << c.name << ": " << manifest[0].damage;
        if (!c.hasEntry) {
            EXPECT_NE(manifest[0].damage.find("no entry"), std::string::npos) << manifest[0].damage;
        }
    }
}

TEST(CatalogueFormat, LinesWrittenReadBackForEveryByte) {
    std::string every;
    for (int b = 1; b < 256; ++b) every += static_cast<char>(b);
    const std::vector<std::pair<std::string, std::string>> entries = {
        {every, "FILESIZE=1"}, {"a\\tb", "MD5=\\"}, {"line\nfeed\rreturn", "\"INI=a\tb\""}, {" a # inside", "MD5=1"}};
    std::string text;
    for (const auto& [name, list] : entries) text += CatalogueLine(name, list) + "\n";
    const Catalogue c = ParseCatalogue(text);
    EXPECT_TRUE(c.damaged.empty());
    ASSERT_EQ(c.entries.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(c.entries[i].name, entries[i].first);
        EXPECT_EQ(c.entries[i].checkList, entries[i].second);
        EXPECT_EQ(c.entries[i].line, i + 1);
    }
}

// ---- identify: the size index ----

struct RequiredSizeCase {
    std::string list;
    std::optional<std::string> size;
};

TEST(IdentifyIndex, RequiredSizeIsTheFirstFileSizeEntryAsTheEngineReadsIt) {
    const std::vector<RequiredSizeCase> cases = {
        {"FILESIZE=10,MD5=AB", "10"},
        {"md5=AB,filesize=7", "7"},            // keywords are upper-cased
        {"\"FILESIZE=5\",CRC32=1", "5"},       // quoted
        {"FILESIZE=05", "05"},                 // never holds: no file has that size text
        {"FILESIZE=3,FILESIZE=4", "3"},
        {"FILESIZE>=5,FILESIZE<=9", std::nullopt},
        {"SIZEMD5=0|9|AB", std::nullopt},
        {"FILESIZEX=5", std::nullopt},
        {"", std::nullopt},
    };
    for (const RequiredSizeCase& c : cases) EXPECT_EQ(RequiredSize(c.list), c.size) << c.list;
}

// Whatever a list says, when it holds for a file its entry is a candidate
// for that file: the index never hides an entry that holds.
TEST(IdentifyIndex, AnEntryThatHoldsIsAlwaysACandidate) {
    TempDir dir;
    const std::string three = dir.Write("three", "abc");
    const std::string empty = dir.Write("empty", "");
    const std::string missing = dir.File("missing");
    const std::string lists[] = {
        "FILESIZE=3",
        "CRC32=00000000,FILESIZE=3",            // threw, goes on to the size
        "CRC32=00000000,FLAGIFNOFILE=,FILESIZE=0",
        "FILESIZE=3,FLAGIFNOFILE=",
        "FLAGIFNOFILE=,FILESIZE=0",
        "FILESIZE=0",
        "FILESIZE=03",
        "FILESIZE<=3,FILESIZE>=3",              // no exact size: a candidate for every file
        "MD5=" + ondrel::testing::DigestOfBytes("abc"),
        "MD5=" + ondrel::testing::kEmptyDigestText,
        "SIZEMD5=0|0|" + ondrel::testing::DigestOfBytes("a") + ",FILESIZE=3",
        "bogus=1,FILESIZE=3",
    };
    Catalogue c;
    for (const std::string& list : lists) c.entries.push_back({c.entries.size() + 1, std::to_string(c.entries.size()), list});
    const CatalogueIndex index(c);
    for (const std::string& file : {three, empty, missing}) {
        const std::string sizeText = std::to_string(FileSizeLow32(file));
        const std::vector<std::size_t> candidates = index.Candidates(sizeText);
        EXPECT_TRUE(std::is_sorted(candidates.begin(), candidates.end()));
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            if (!Holds(file, c.entries[i].checkList)) continue;
            EXPECT_NE(std::find(candidates.begin(), candidates.end(), i), candidates.end())
                << c.entries[i].checkList << " holds for " << file << " but is no candidate";
        }
    }
    EXPECT_EQ(index.Unsized(), 3u);  // the bounds and the two MD5 entries
}

TEST(IdentifyIndex, FilesAreCheckedAgainstTheirSizeAndTheEntriesWithoutOne) {
    TempDir dir;
    const std::string v1 = dir.Write("v1", "version one");
    const std::string v2 = dir.Write("v2", "version two");
    const std::string v3 = dir.Write("v3", "version three");
    const std::string header = dir.Write("h", "HDR and more of it");
    const std::string text =
        CatalogueLine("one", "FILESIZE=11,MD5=" + ondrel::testing::DigestOfBytes("version one")) + "\n" +
        CatalogueLine("two", "FILESIZE=11,MD5=" + ondrel::testing::DigestOfBytes("version two")) + "\n" +
        CatalogueLine("three", "FILESIZE=13,MD5=" + ondrel::testing::DigestOfBytes("version three")) + "\n" +
        CatalogueLine("starts HDR", "SIZEMD5=0|2|" + ondrel::testing::DigestOfBytes("HDR")) + "\n" +
        CatalogueLine("starts ver", "SIZEMD5=0|2|" + ondrel::testing::DigestOfBytes("ver")) + "\n" +
        CatalogueLine("any eleven", "FILESIZE=11") + "\n";
    const Catalogue c = ParseCatalogue(text);
    ASSERT_TRUE(c.damaged.empty());
    const CatalogueIndex index(c);
    EXPECT_EQ(index.Unsized(), 2u);

    struct Want {
        std::string file;
        std::vector<std::size_t> held;
        std::size_t candidates;
    };
    const std::vector<Want> wants = {
        {v1, {0, 4, 5}, 5},  // three of size 11, two without a size
        {v2, {1, 4, 5}, 5},
        {v3, {2, 4}, 3},
        {header, {3}, 2},    // size 18: no entry of its size, the two without one
    };
    for (const Want& w : wants) {
        const FileMatch m = MatchFile(w.file, c, index);
        EXPECT_TRUE(m.problem.empty()) << m.problem;
        EXPECT_EQ(m.held, w.held) << w.file;
        EXPECT_EQ(m.candidates, w.candidates) << w.file;
    }
    // A path that leads to no regular file is not matched, even by lists
    // that hold on nothing.
    const Catalogue nothing = ParseCatalogue("flag\tFLAGIFNOFILE=\nzero\tFILESIZE=0\n");
    const CatalogueIndex nothingIndex(nothing);
    for (const std::string& path : {dir.File("missing"), dir.Path().string()}) {
        const FileMatch m = MatchFile(path, nothing, nothingIndex);
        EXPECT_TRUE(m.held.empty()) << path;
        EXPECT_FALSE(m.problem.empty()) << path;
    }
}

// ---- identify and catalog check: the index on disk ----

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct IndexedCase {
    const char* name;
    std::string text;
};

// Whatever the catalogue holds, its index gives what reading it whole
// gives: the entries, the damaged lines, and for each file the same
// candidates, entries held (numbers and names) and problems.
TEST(CatalogueIndexOnDisk, MatchesAsTheWholeCatalogueDoes) {
    TempDir dir;
    const std::string three = dir.Write("three", "abc");
    const std::string eleven = dir.Write("eleven", "hello world");
    const std::string empty = dir.Write("empty", "");
    const std::string files[] = {three, eleven, empty, dir.File("missing")};
    const std::string abc = ondrel::testing::DigestOfBytes("abc");
    const std::vector<IndexedCase> cases = {
        {"sizes and none", "a\tFILESIZE=3\nb\tFILESIZE=11\nc\tMD5=" + abc + "\nd\tFILESIZE<=20\n"},
        {"one size many times", "a\tFILESIZE=3,MD5=00\nb\tFILESIZE=3\nc\tFILESIZE=3,MD5=" + abc + "\nd\tFILESIZE=3\n"},
        {"byte-order mark and CR LF", "\xEF\xBB\xBFx\tFILESIZE=3\r\n# note\r\n\r\ny\tFILESIZE=11\r\nz\tFILESIZE<=3\r\n"},
        {"a mark alone on its line", "\xEF\xBB\xBF\nx\tFILESIZE=3\n"},
        {"escapes", "tab\\there\tFILESIZE=3\nback\\\\slash\t\"FILESIZE=11\"\nnl\\n\tMD5=\\\\\n"},
        {"damaged lines", "no tab\na\tFILESIZE=3\nbad\\qescape\tMD5=1\n\tMD5=2\nempty list\t\nb\tFILESIZE=0\n"},
        {"names given before", "a\tFILESIZE=3\na\tFILESIZE=11\nb\tMD5=1\na\tMD5=2\nb\tFILESIZE=3\nc\tFILESIZE=3\n"},
        {"no line end at the end", "a\tFILESIZE=11\nb\tFILESIZE=3"},
        {"size texts that never hold", "a\tFILESIZE=03\nb\tFILESIZE=3,FILESIZE=4\nc\tmd5=1,filesize=0\n"},
        {"comments and blanks only", "# nothing\n   \n\t\n"},
        {"empty", ""},
        {"a long line", "long\tFILESIZE=3,INI=" + std::string(3u << 20, 'x') + "\nshort\tFILESIZE=3\n"},
        {"entries made against a few files", "#against\t2\na\tFILESIZE=3\nb\tFILESIZE=3\n#against\nc\tMD5=" + abc + "\n"},
    };
    for (const IndexedCase& c : cases) {
        const std::string catalogue = dir.Write(std::string("cat-") + c.name, c.text);
        const Catalogue whole = ParseCatalogue(c.text);
        const CatalogueIndex sizes(whole);
        const platform::Result<IndexWritten, platform::Reason> written = WriteCatalogueIndex(catalogue);
        ASSERT_TRUE(written) << c.name << ": " << written.failure().text;
        EXPECT_EQ(written->entries, whole.entries.size()) << c.name;
        EXPECT_EQ(written->name, catalogue + ".index") << c.name;
        platform::Result<IndexedCatalogue, IndexRefusal> indexed = IndexedCatalogue::Open(catalogue);
        ASSERT_TRUE(indexed) << c.name << ": " << indexed.failure().why;
        ASSERT_EQ(indexed->Entries(), whole.entries.size()) << c.name;
        EXPECT_EQ(indexed->Unsized(), sizes.Unsized()) << c.name;
        ASSERT_EQ(indexed->Damaged().size(), whole.damaged.size()) << c.name;
        for (std::size_t i = 0; i < whole.damaged.size(); ++i) {
            EXPECT_EQ(indexed->Damaged()[i].line, whole.damaged[i].line) << c.name;
            EXPECT_EQ(indexed->Damaged()[i].damage, whole.damaged[i].damage) << c.name;
        }
        for (std::size_t i = 0; i < whole.entries.size(); ++i) {
            const platform::Result<CatalogueEntry, platform::Reason> e = indexed->Entry(i);
            ASSERT_TRUE(e) << c.name;
            EXPECT_EQ(e->line, whole.entries[i].line) << c.name;
            EXPECT_EQ(e->name, whole.entries[i].name) << c.name;
            EXPECT_EQ(e->checkList, whole.entries[i].checkList) << c.name;
            EXPECT_EQ(e->neighboursOnly, whole.entries[i].neighboursOnly) << c.name;
        }
        for (const std::string& file : files) {
            const FileMatch want = MatchFile(file, whole, sizes);
            const FileMatch got = indexed->Match(file);
            EXPECT_EQ(got.held, want.held) << c.name << ": " << file;
            EXPECT_EQ(got.names, want.names) << c.name << ": " << file;
            EXPECT_EQ(got.neighboursOnly, want.neighboursOnly) << c.name << ": " << file;
            EXPECT_EQ(got.candidates, want.candidates) << c.name << ": " << file;
            EXPECT_EQ(got.problem, want.problem) << c.name << ": " << file;
        }
    }
}

// The header of an index as written, and put back with its check made again.
IndexHeader HeaderOf(const std::string& bytes) {
    IndexHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return h;
}

std::string WithHeader(std::string bytes, IndexHeader h) {
    h.check = IndexHeaderCheck(h);
    std::memcpy(bytes.data(), &h, sizeof h);
    return bytes;
}

struct StaleCase {
    const char* name;
    // Changes the catalogue or its index (the index's bytes given) after indexing.
    std::function<void(const std::string& catalogue, std::string& index)> change;
    const char* why;
};

// An index is used only for the catalogue it was made from, whole and of
// this version; anything else is refused with the reason, never read.
TEST(CatalogueIndexOnDisk, StaleDamagedAndForeignIndexesAreRefused) {
    const std::string text = "a\tFILESIZE=3\nb\tFILESIZE=11\nc\tMD5=1\nbad\n";
    const std::int64_t aged = static_cast<std::int64_t>(std::time(nullptr)) - 3600;
    const std::vector<StaleCase> cases = {
        {"a line added", [](const std::string& c, std::string&) { WriteAll(c, ReadAll(c) + "d\tMD5=2\n"); },
         "size changed"},
        {"rewritten to the same size, its time put back",
         [aged](const std::string& c, std::string&) {
             WriteAll(c, "a\tFILESIZE=4\nb\tFILESIZE=11\nc\tMD5=1\nbad\n");
             ondrel::testing::SetLastWriteTime(c, aged);
         },
         "written since"},
        {"replaced by a copy",
         [](const std::string& c, std::string&) {
             const std::string bytes = ReadAll(c);
             std::filesystem::remove(c);
             WriteAll(c, bytes);
         },
         ""},
        {"index truncated", [](const std::string&, std::string& i) { i.resize(i.size() - 8); }, "truncated"},
        {"index cut inside its header", [](const std::string&, std::string& i) { i.resize(100); }, "shorter than its header"},
        {"index of garbage", [](const std::string&, std::string& i) { i = std::string(i.size(), 'x'); }, "not an index"},
        {"index header damaged", [](const std::string&, std::string& i) { i[40] ^= 1; }, "its header"},
        {"index of another version",
         [](const std::string&, std::string& i) {
             IndexHeader h = HeaderOf(i);
             h.version = kIndexVersion + 1;
             i = WithHeader(i, h);
         },
         "another version"},
        {"index counts more entries than it holds",
         [](const std::string&, std::string& i) {
             IndexHeader h = HeaderOf(i);
             ++h.entries;
             ++h.unsized;
             i = WithHeader(i, h);
         },
         "truncated"},
        {"index of another byte order",
         [](const std::string&, std::string& i) {
             IndexHeader h = HeaderOf(i);
             h.byteOrder = 0x04030201;
             i = WithHeader(i, h);
         },
         "byte order"},
    };
    for (const StaleCase& c : cases) {
        TempDir dir;
        ondrel::testing::ClockAhead settled;
        const std::string catalogue = dir.WriteAged("known.cat", text);
        const platform::Result<IndexWritten, platform::Reason> written = WriteCatalogueIndex(catalogue);
        ASSERT_TRUE(written) << c.name;
        ASSERT_FALSE(written->digestKept) << c.name << ": the catalogue should count as settled";
        ASSERT_TRUE(IndexedCatalogue::Open(catalogue)) << c.name;
        std::string index = ReadAll(written->name);
        c.change(catalogue, index);
        WriteAll(written->name, index);
        const platform::Result<IndexedCatalogue, IndexRefusal> opened = IndexedCatalogue::Open(catalogue);
        ASSERT_FALSE(opened) << c.name;
        EXPECT_FALSE(opened.failure().absent) << c.name;
        EXPECT_NE(opened.failure().why.find(c.why), std::string::npos) << c.name << ": " << opened.failure().why;
    }
    TempDir dir;
    const platform::Result<IndexedCatalogue, IndexRefusal> none = IndexedCatalogue::Open(dir.Write("plain.cat", text));
    ASSERT_FALSE(none);
    EXPECT_TRUE(none.failure().absent);
}

// A catalogue indexed just after it was written may be rewritten within
// the resolution of its times with its identity unchanged: its digest is
// kept then, and a rewrite is caught by the bytes even where the identity
// says nothing (the identity put back here, as a coarse clock would leave it).
TEST(CatalogueIndexOnDisk, AnIndexOfAFreshCatalogueChecksItsBytes) {
    TempDir dir;
    const std::string file = dir.Write("three", "abc");
    const std::string catalogue = dir.Write("fresh.cat", "a\tFILESIZE=3\n");
    const platform::Result<IndexWritten, platform::Reason> written = WriteCatalogueIndex(catalogue);
    ASSERT_TRUE(written);
    ASSERT_TRUE(written->digestKept);
    {
        // Closed before the index is patched: Windows writes no file that is mapped.
        platform::Result<IndexedCatalogue, IndexRefusal> fresh = IndexedCatalogue::Open(catalogue);
        ASSERT_TRUE(fresh) << fresh.failure().why;
        EXPECT_EQ(fresh->Match(file).names, std::vector<std::string>{"a"});
    }

    WriteAll(catalogue, "b\tFILESIZE=3\n");
    // As the index's reader sees it: through the opened catalogue.
    platform::Result<platform::File, platform::OpenFailure> reopened = platform::File::Open(catalogue, platform::Share::ReadWrite);
    ASSERT_TRUE(reopened);
    const std::optional<platform::FileIdentity> now = reopened->IdentityAtOpen();
    reopened = platform::File();
    IndexHeader h = HeaderOf(ReadAll(written->name));
    h.volume = now->volume;
    h.fileNumber = now->index;
    h.size = now->size;
    h.modified = now->modified;
    h.changed = now->changed;
    WriteAll(written->name, WithHeader(ReadAll(written->name), h));
    const platform::Result<IndexedCatalogue, IndexRefusal> stale = IndexedCatalogue::Open(catalogue);
    ASSERT_FALSE(stale);
    EXPECT_NE(stale.failure().why.find("bytes changed"), std::string::npos) << stale.failure().why;
}

// ---- identify: many lists against one file ----

// What the engine reports for each entry, for comparing two evaluations.
class Outcomes : public EvaluationObserver {
public:
    void OnEntry(const CheckListItem& item, std::string_view, const RuleTrace& trace, Outcome outcome) override {
        seen.push_back(item.text + " -> " + OutcomeName(outcome) + " [" + trace.text.value_or("-") + "] " + trace.reason);
    }
    void OnResult(bool result) override { seen.push_back(result ? "true" : "false"); }
    std::vector<std::string> seen;
};

TEST(ListsOfOneFile, AnswersAsTheEngineDoesForEveryRememberedRule) {
    TempDir dir;
    PeImage image;
    image.sections = {{".text", std::string(300, 'T')}, {"CODE", std::string(200, 'C')}};
    image.resources = {{PeKey::Id(14), PeKey::Name(u"MAINICON"), 0x409, "icon group"},
                       {PeKey::Id(2), PeKey::Id(100), 0x409, "bitmap"},
                       {PeKey::Id(10), PeKey::Id(1), 0x409, "data"}};
    const std::string pe = dir.Write("image.dll", image.Bytes());
    const std::string plain = dir.Write("plain.bin", RandomBytes(5000, 7));
    const std::string missing = dir.File("missing.bin");

    for (const std::string& file : {pe, plain, missing}) {
        // The true values first, then the same arguments with other expected
        // texts, and values the rules read in odd ways.
        std::vector<std::string> entries;
        for (const std::string prefix :
             {"FILESIZE=", "CRC32=", "MD5=", "SECSIZE=", "SECMD5=", "ENDMD5=100|", "ENDMD5=100|7|", "ENDMD5=0|",
              "ENDMD5=99999|", "SIZEMD5=0|99|", "SIZEMD5=10|9|", "SIZEMD5=5|3|", "SIZEMD5=0|99999|",
              "SSECMD5=.text-", "SSECMD5=CODE-", "SSECMD5=-", "SSECMD5=nothing-", "ICONMD5=MAINICON-",
              "ICONMD5=-", "BRMD5=100-", "BRMD5=-", "RESMD5=RT_RCDATA|1|", "RESMD5=10|1|"}) {
            Outcomes first;
            Evaluate(file.c_str(), prefix.c_str(), LibraryKeywords(), nullptr, &first);
            const std::string computed = first.seen[0].substr(first.seen[0].find('[') + 1);
            const std::string truth = computed.substr(0, computed.find(']'));
            entries.push_back(prefix + (truth == "-" ? "" : truth));
            entries.push_back(prefix + "0123456789ABCDEF0123456789ABCDEF");
            entries.push_back(prefix);
        }
        for (const char* odd : {"ENDMD5=100", "ENDMD5=", "SIZEMD5=0|99", "SIZEMD5=", "SSECMD5=",
                                       "ICONMD5=", "RESMD5=10", "CRC32=00000000,FLAGIFNOFILE=", "FILESIZE>=1",
                                       "INI=x", "FLAGIFNOFILE="})
            entries.push_back(odd);

        ListsOfOneFile lists(file);
        for (int round = 0; round < 2; ++round) {  // the second round answers from what the first computed
            for (const std::string& list : entries) {
                Outcomes library, remembering;
                const bool expected = Evaluate(file.c_str(), list.c_str(), LibraryKeywords(), nullptr, &library);
                EXPECT_EQ(lists.Holds(list, &remembering), expected) << file << ": " << list;
                EXPECT_EQ(remembering.seen, library.seen) << file << ": " << list;
            }
        }
    }
}

TEST(ListsOfOneFile, EachTextIsComputedOnceAndTheFileReadOnce) {
    TempDir dir;
    const std::string bytes = RandomBytes(300000, 11);
    const std::string file = dir.Write("f.bin", bytes);
    const std::string md5 = ondrel::testing::DigestOfBytes(bytes);
    ListsOfOneFile lists(file);
    EXPECT_TRUE(lists.Holds("FILESIZE=300000,MD5=" + md5));
    const std::size_t computed = lists.Computed();
    EXPECT_EQ(computed, 2u);
    // Reads fail from now on: the lists after the first answer from what it computed.
    platform::FailReadsAfter(0);
    const bool again = lists.Holds("FILESIZE=300000,MD5=" + md5);
    const bool other = lists.Holds("FILESIZE=300000,MD5=0123456789ABCDEF0123456789ABCDEF");
    const bool fresh = Holds(file, "FILESIZE=300000,MD5=" + md5);  // the engine alone reads again
    platform::StopFailingReads();
    EXPECT_TRUE(again);
    EXPECT_FALSE(other);
    EXPECT_FALSE(fresh) << "the read seam did not fail the engine's own read";
    EXPECT_EQ(lists.Computed(), computed);

    // A rule that threw throws again, with its reason, without opening the file.
    const std::string missing = dir.File("missing");
    ListsOfOneFile gone(missing);
    for (int i = 0; i < 3; ++i) {
        Outcomes seen;
        EXPECT_TRUE(gone.Holds("CRC32=00000000,FLAGIFNOFILE=", &seen));
        EXPECT_NE(seen.seen[0].find("not found"), std::string::npos) << seen.seen[0];
    }
    EXPECT_EQ(gone.Computed(), 1u);
}

// ---- make --against: the cheapest list ----

// Writes the family, makes the list of member `of` against all others,
// and checks what every list must be: proved by the engine here again, the
// bytes read the sum of its rules.
struct Family {
    TempDir dir;
    std::vector<std::string> files;
    void Add(const std::string& bytes) { files.push_back(dir.Write(std::to_string(files.size()) + ".bin", bytes)); }
    Separation Against(std::size_t of, const SeparationLimits& limits = {}) {
        std::vector<std::string> others;
        for (std::size_t i = 0; i < files.size(); ++i)
            if (i != of) others.push_back(files[i]);
        Separation s = Separate(files[of], others, limits);
        if (s.problem.empty()) {
            EXPECT_TRUE(Holds(files[of], s.checkList)) << s.checkList;
            for (const std::string& o : others) EXPECT_FALSE(Holds(o, s.checkList)) << s.checkList << " holds for " << o;
            std::uint64_t sum = 0;
            for (const SeparatingRule& r : s.rules) sum += r.bytesRead;
            EXPECT_EQ(s.bytesRead, sum);
            EXPECT_EQ(Items(s.checkList).size(), s.rules.size());
        }
        return s;
    }
};

struct RangeCase {
    std::string name;
    std::size_t size;
    std::size_t at;          // the byte where the versions differ
    std::string keyword;     // the range rule written
    std::string value;       // its arguments
};

class OneByteApart : public ::testing::TestWithParam<RangeCase> {};

TEST_P(OneByteApart, OneRangeOfOneByte) {
    const RangeCase& c = GetParam();
    Family family;
    const std::string base = RandomBytes(c.size, 3);
    family.Add(base);
    family.Add(Flipped(base, c.at));
    for (std::size_t of = 0; of < 2; ++of) {
        const Separation s = family.Against(of);
        ASSERT_TRUE(s.problem.empty()) << s.problem;
        ASSERT_EQ(s.rules.size(), 2u) << s.checkList;
        EXPECT_EQ(s.rules[0].entry, "FILESIZE=" + std::to_string(c.size));
        EXPECT_EQ(s.rules[0].bytesRead, 0u);
        EXPECT_EQ(Keyword(s.rules[1].entry), c.keyword);
        EXPECT_EQ(s.rules[1].entry.substr(0, c.keyword.size() + 1 + c.value.size()), c.keyword + "=" + c.value);
        EXPECT_EQ(s.bytesRead, 1u);
        EXPECT_EQ(s.rules[1].tells, std::vector<std::size_t>{0});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Families, OneByteApart,
    ::testing::Values(RangeCase{"AtTheStart", 4096, 0, "SIZEMD5", "0|0|"},
                      RangeCase{"NearTheStart", 4096, 37, "SIZEMD5", "37|37|"},
                      RangeCase{"InTheFirstHalf", 100000, 49999, "SIZEMD5", "49999|49999|"},
                      RangeCase{"InTheSecondHalf", 100000, 50000, "ENDMD5", "1|49999|"},
                      RangeCase{"NearTheEnd", 4096, 4090, "ENDMD5", "1|5|"},
                      RangeCase{"AtTheEnd", 4096, 4095, "ENDMD5", "1|"},
                      RangeCase{"OneByteFiles", 1, 0, "SIZEMD5", "0|0|"},
                      RangeCase{"AcrossAReadChunk", 600000, 262144, "SIZEMD5", "262144|262144|"}),
    ondrel::testing::CaseName());

TEST(MakeAgainst, DifferentSizesNeedTheSizeAlone) {
    Family family;
    family.Add(RandomBytes(1000, 1));
    family.Add(RandomBytes(1001, 1));
    family.Add(RandomBytes(5, 2));
    family.Add("");
    const Separation s = family.Against(0);
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    EXPECT_EQ(s.checkList, "FILESIZE=1000");
    EXPECT_EQ(s.bytesRead, 0u);
    EXPECT_EQ(s.rules[0].tells, (std::vector<std::size_t>{0, 1, 2}));
}

TEST(MakeAgainst, EachVersionOfAFamilyReadsOneByte) {
    // Twenty versions of 64 KiB, each one byte apart from a common base at
    // its own offset: any two differ in two bytes, and the byte of a
    // version's own tells it from all the others.
    Family family;
    const std::string base = RandomBytes(65536, 5);
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < 20; ++i) offsets.push_back((i * 7919 + 13) % 65536);
    for (std::size_t at : offsets) family.Add(Flipped(base, at));
    for (std::size_t of = 0; of < family.files.size(); ++of) {
        const Separation s = family.Against(of);
        ASSERT_TRUE(s.problem.empty()) << s.problem;
        EXPECT_EQ(s.bytesRead, 1u) << s.checkList;
        ASSERT_EQ(s.rules.size(), 2u) << s.checkList;
        EXPECT_EQ(s.rules[1].tells.size(), 19u);
        const std::string offset = std::to_string(offsets[of]);
        const std::string tail = std::to_string(65535 - offsets[of]);
        EXPECT_TRUE(s.rules[1].entry.rfind("SIZEMD5=" + offset + "|" + offset + "|", 0) == 0 ||
                    s.rules[1].entry.rfind("ENDMD5=1|" + tail + "|", 0) == 0 ||
                    (offsets[of] == 65535 && s.rules[1].entry.rfind("ENDMD5=1|", 0) == 0))
            << s.rules[1].entry;
    }
}

TEST(MakeAgainst, TheBaseNeedsARangeForEachVersionAndCloseBytesShareOne) {
    Family family;
    const std::string base = RandomBytes(10000, 8);
    family.Add(base);
    family.Add(Flipped(base, 100));
    family.Add(Flipped(base, 110));   // 10 bytes after the one before: one range of 11 bytes
    family.Add(Flipped(base, 5000));  // far from both: a range of its own
    const Separation s = family.Against(0);
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    ASSERT_EQ(s.rules.size(), 3u) << s.checkList;
    EXPECT_EQ(s.bytesRead, 12u) << s.checkList;
    std::vector<std::string> ranges = {s.rules[1].entry, s.rules[2].entry};
    std::sort(ranges.begin(), ranges.end());
    EXPECT_TRUE(ranges[1].rfind("SIZEMD5=100|110|", 0) == 0) << ranges[1];
    EXPECT_TRUE(ranges[0].rfind("ENDMD5=1|4999|", 0) == 0) << ranges[0];

    // With no joining, two ranges of one byte each instead.
    SeparationLimits apart;
    apart.joinGap = 0;
    const Separation split = family.Against(0, apart);
    EXPECT_EQ(split.rules.size(), 4u) << split.checkList;
    EXPECT_EQ(split.bytesRead, 3u);
}

TEST(MakeAgainst, OffsetsNotKeptAreComparedByTheirBytes) {
    // The second file differs from the first in 200 bytes at offsets 1000
    // to 1199, of which only the first and last few are kept. The third and
    // fourth differ at 1100 alone, so the range is chosen there; that it
    // tells the second apart too only its bytes at that range can show.
    Family family;
    const std::string base = RandomBytes(5000, 9);
    std::string many = base;
    for (std::size_t i = 1000; i < 1200; ++i) many[i] = static_cast<char>(many[i] ^ 0x01);
    std::string other = base;
    other[1100] = static_cast<char>(other[1100] ^ 0x33);
    family.Add(base);
    family.Add(many);
    family.Add(Flipped(base, 1100));
    family.Add(other);
    const Separation s = family.Against(0);
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    ASSERT_EQ(s.rules.size(), 2u) << s.checkList;
    EXPECT_TRUE(s.rules[1].entry.rfind("SIZEMD5=1100|1100|", 0) == 0) << s.rules[1].entry;
    EXPECT_EQ(s.rules[1].tells, (std::vector<std::size_t>{0, 1, 2}));
}

TEST(MakeAgainst, InsideASectionARangeThenTheSectionThenTheWholeFile) {
    TempDir dir;
    PeImage image;
    image.sections = {{".text", RandomBytes(3000, 4)}, {".data", RandomBytes(700, 6)}};
    const std::string one = dir.Write("one.dll", image.Bytes());
    const FileFacts facts = ProbeFile(one, kImage);
    ASSERT_TRUE(facts.pe);
    const SectionFacts& data = facts.sections[1];
    const std::size_t at = data.pointerToRawData + 350;  // inside ".data"
    std::string changed = image.Bytes();
    changed[at] = static_cast<char>(changed[at] ^ 1);
    const std::string two = dir.Write("two.dll", changed);

    // A byte in the middle costs one byte to read.
    Separation s = Separate(one, {two});
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    EXPECT_EQ(s.bytesRead, 1u);
    EXPECT_EQ(Items(s.checkList).size(), 2u) << s.checkList;

    // Where no range may be written, the section that differs.
    SeparationLimits noRanges;
    noRanges.rangeEnd = 0;
    s = Separate(one, {two}, noRanges);
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    ASSERT_EQ(s.rules.size(), 2u) << s.checkList;
    EXPECT_EQ(s.rules[1].entry.rfind("SSECMD5=.data-", 0), 0u) << s.rules[1].entry;
    EXPECT_EQ(s.rules[1].bytesRead, data.sizeOfRawData);
    EXPECT_TRUE(Holds(one, s.checkList));
    EXPECT_FALSE(Holds(two, s.checkList));

    // A difference in no section: the whole file.
    TempDir plain;
    const std::string a = plain.Write("a", RandomBytes(2000, 12));
    const std::string b = plain.Write("b", Flipped(RandomBytes(2000, 12), 1500));
    s = Separate(a, {b}, noRanges);
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    ASSERT_EQ(s.rules.size(), 2u) << s.checkList;
    EXPECT_EQ(Keyword(s.rules[1].entry), "MD5");
    EXPECT_EQ(s.bytesRead, 2000u);
    EXPECT_TRUE(Holds(a, s.checkList));
    EXPECT_FALSE(Holds(b, s.checkList));
}

TEST(MakeAgainst, SizesAndBytesTogether) {
    Family family;
    const std::string base = RandomBytes(3000, 13);
    family.Add(base);
    family.Add(base.substr(0, 2999));      // shorter, same start
    family.Add(base + "x");                // longer, same start
    family.Add(Flipped(base, 2));          // same size
    const Separation s = family.Against(0);
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    ASSERT_EQ(s.rules.size(), 2u) << s.checkList;
    EXPECT_EQ(s.rules[0].tells, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(s.rules[1].tells, std::vector<std::size_t>{2});
    EXPECT_EQ(s.bytesRead, 1u);
}

TEST(MakeAgainst, FilesOfTheSameBytesCannotBeToldApart) {
    Family family;
    const std::string base = RandomBytes(4000, 14);
    family.Add(base);
    family.Add(Flipped(base, 10));
    family.Add(base);  // a copy
    const Separation s = family.Against(0);
    EXPECT_TRUE(s.checkList.empty());
    EXPECT_EQ(s.same, std::vector<std::size_t>{1});
    EXPECT_NE(s.problem.find("the same bytes"), std::string::npos) << s.problem;
    EXPECT_NE(s.problem.find(family.files[2]), std::string::npos) << s.problem;

    // Empty files too; and a file against itself.
    TempDir dir;
    const std::string e1 = dir.Write("e1", ""), e2 = dir.Write("e2", "");
    EXPECT_EQ(Separate(e1, {e2}).same, std::vector<std::size_t>{0});
    EXPECT_EQ(Separate(e1, {e1}).same, std::vector<std::size_t>{0});
    // A file that cannot be read is said, and no list made.
    const Separation gone = Separate(dir.File("missing"), {e1});
    EXPECT_TRUE(gone.checkList.empty());
    EXPECT_NE(gone.problem.find("not found"), std::string::npos) << gone.problem;
    const Separation otherGone = Separate(e1, {dir.File("missing")});
    EXPECT_TRUE(otherGone.checkList.empty());
    EXPECT_FALSE(otherGone.problem.empty());
}

#ifndef _WIN32
TEST(MakeAgainst, AWildcardNameGetsNoSizeRules) {
    // "*" in the last part of the name: the size rules would measure the
    // first file the pattern finds, so the ranges tell every file apart,
    // whatever its size.
    TempDir dir;
    const std::string base = RandomBytes(3000, 15);
    const std::string starred = dir.Write("a*b", base);
    const std::string shorter = dir.Write("short", base.substr(0, 100));
    const std::string flipped = dir.Write("flip", Flipped(base, 2990));
    const Separation s = Separate(starred, {shorter, flipped});
    ASSERT_TRUE(s.problem.empty()) << s.problem;
    for (const std::string& item : Items(s.checkList)) {
        EXPECT_NE(Keyword(item), "FILESIZE") << s.checkList;
        EXPECT_NE(Keyword(item), "ENDMD5") << s.checkList;
    }
    EXPECT_TRUE(Holds(starred, s.checkList));
    EXPECT_FALSE(Holds(shorter, s.checkList));
    EXPECT_FALSE(Holds(flipped, s.checkList));
}
#endif

// ---- make --against: the proof ----

TEST(MakeAgainstProof, EveryFileTheListHoldsForIsNamed) {
    TempDir dir;
    const std::string base = RandomBytes(2000, 16);
    const std::string file = dir.Write("file", base);
    const std::vector<std::string> others = {dir.Write("same start", Flipped(base, 1999)), dir.Write("shorter", "abc"),
                                             dir.Write("copy", base)};
    const std::string head = ondrel::testing::DigestOfBytes(base.substr(0, 10));
    struct ProofCase {
        std::string list;
        bool holdsForFile;
        std::vector<std::size_t> holdsForOthers;
    };
    const std::vector<ProofCase> cases = {
        {"FILESIZE=2000", true, {0, 2}},
        {"SIZEMD5=0|9|" + head, true, {0, 2}},
        {"FILESIZE=2000,ENDMD5=1|" + ondrel::testing::DigestOfBytes(base.substr(1999)), true, {2}},
        {"FILESIZE=3", false, {1}},
        {"MD5=0123456789ABCDEF0123456789ABCDEF", false, {}},
    };
    for (const ProofCase& c : cases) {
        const Proof p = ProveList(file, others, c.list);
        EXPECT_EQ(p.holdsForFile, c.holdsForFile) << c.list;
        EXPECT_EQ(p.holdsForOthers, c.holdsForOthers) << c.list;
        EXPECT_FALSE(p.Proved()) << c.list;
    }
    EXPECT_TRUE(ProveList(file, {others[0], others[1]}, "FILESIZE=2000,ENDMD5=1|" +
                                                             ondrel::testing::DigestOfBytes(base.substr(1999)))
                    .Proved());
}

}  // namespace
