// The ondrel command's logic, grouped by subcommand: make (lists made from
// files hold and a changed byte breaks them, rule sets, names the size rules
// cannot express, hostile images), check (reasons, notes, hints), manifests
// (format, roots, paths), verify (one file, the pool), make's walk, the
// lists read whole and the results that carry why they failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "checks/engine.h"
#include "checks/rules.h"
#include "checksums/md5.h"
#include "platform/pe/pe_layout.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"
#include "tools/rules/check_report.h"
#include "tools/rules/file_facts.h"
#include "tools/batch/in_order.h"
#include "tools/rules/image_report.h"
#include "tools/rules/make_list.h"
#include "tools/manifest/listed_files.h"
#include "tools/manifest/manifest.h"
#include "tools/manifest/text_file.h"
#include "tools/manifest/tree_walk.h"
#include "tools/manifest/verify.h"
#include "tests/support/digests.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace ondrel;
using namespace ondrel::tool;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::PeResource;
using ondrel::testing::TempDir;

bool Holds(const std::string& file, const std::string& list) {
    return Evaluate(file.c_str(), list.c_str(), LibraryKeywords(), nullptr);
}

RuleChoice Rules(std::vector<std::string> names) {
    const platform::Result<RuleChoice, platform::Reason> choice = ParseRuleSets(names);
    EXPECT_TRUE(choice.has_value()) << choice.failure().text;
    return choice ? *choice : RuleChoice{};
}

std::vector<std::string> Items(const std::string& list) {
    std::vector<std::string> items;
    CheckListReader reader(list.c_str());
    while (std::optional<CheckListItem> item = reader.Next()) items.push_back(item->text);
    return items;
}

PeResource Res(PeKey type, PeKey name, std::string data, std::uint16_t language = 0x409) {
    return {std::move(type), std::move(name), language, std::move(data)};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- round trips ----

struct RoundTripCase {
    std::string name;
    std::string bytes;
    std::vector<std::string> mustHave;     // entries (or their beginnings) the full list must hold
    std::vector<std::string> mustLeaveOut; // parts of the left-out messages
};

std::string OddImage(bool pe32plus) {
    PeImage image;
    image.pe32plus = pe32plus;
    image.sections = {{".text", std::string(300, 'c')},
                      {"a b", "blank in the name"},
                      {"c,d", "comma in the name"},
                      {"\"q\"", "quotes in the name"},
                      {"\xE9t\xE9", "bytes above 127"},
                      {"x-y", "a dash ends the name in the rule"},
                      {"a b", "a second section of that name"},
                      {"empty", ""}};
    image.resources = {
        Res(PeKey::Id(14), PeKey::Name(u"MAIN ICON"), "group icon"),
        Res(PeKey::Id(16), PeKey::Id(1), "version"),
        Res(PeKey::Id(16), PeKey::Id(1), "version, German", 0x407),
        Res(PeKey::Name(u"MY TYPE"), PeKey::Name(u"A,B"), "comma"),
        Res(PeKey::Name(u"MY TYPE"), PeKey::Name(u"Q\"Q"), "quote"),
        Res(PeKey::Name(u"MY TYPE"), PeKey::Name(u"\u00C9T\u00C9"), "bytes above 127"),
        Res(PeKey::Name(u"MY TYPE"), PeKey::Name(u"lower"), "small letters cannot be looked up"),
        Res(PeKey::Name(u"MY TYPE"), PeKey::Name(u"123"), "reads as a number"),
        Res(PeKey::Id(300), PeKey::Id(7), "numbered type"),
    };
    return image.Bytes();
}

std::vector<RoundTripCase> RoundTripCases() {
    return {
        {"Empty", "", {"FILESIZE=0"}, {}},
        {"Text", "hello, world\n", {"FILESIZE=13", "CRC32=", "MD5=", "ENDMD5=13|", "SIZEMD5=0|12|"}, {}},
        {"LargerThanRange", ondrel::testing::CountingBytes(70000), {"ENDMD5=65536|", "SIZEMD5=0|65535|"}, {}},
        {"OddPe32", OddImage(false),
         {"SECMD5=", "SECSIZE=", "SSECMD5=.text-", "\"SSECMD5=a b-", "\"SSECMD5=c,d-", "SSECMD5=\"q\"-",
          "SSECMD5=\xE9t\xE9-", "\"ICONMD5=MAIN ICON-", "RESMD5=RT_VERSION|1|", "\"RESMD5=MY TYPE|A,B|",
          "RESMD5=#300|7|"},
         {"section \"x-y\"", "section \"empty\": it has no raw bytes", "\"lower\": the lookup upper-cases",
          "\"123\": its name reads as a number"}},
        {"OddPe32Plus", OddImage(true), {"SECMD5=", "SSECMD5=.text-", "\"RESMD5=MY TYPE|Q\"\"Q|"}, {}},
    };
}

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, MadeListHoldsAndOneChangedByteBreaksIt) {
    const RoundTripCase& c = GetParam();
    TempDir dir;
    const std::string file = dir.Write("good.bin", c.bytes);
    const MadeList made = MakeCheckList(file, Rules({"all"}));
    ASSERT_FALSE(made.checkList.empty());
    EXPECT_TRUE(Holds(file, made.checkList)) << made.checkList;

    // Every entry comes back from the splitting as it was made.
    const std::vector<std::string> items = Items(made.checkList);
    for (const std::string& part : c.mustHave) {
        const std::string unquoted = part.front() == '"' ? part.substr(1) : part;
        const bool inList = Contains(made.checkList, part);
        const bool asItem = std::any_of(items.begin(), items.end(), [&](const std::string& item) {
            std::string plain = unquoted;
            // "" in the written list stands for one quote in the item.
            for (std::size_t at; (at = plain.find("\"\"")) != std::string::npos;) plain.erase(at, 1);
            return item.rfind(plain, 0) == 0;
        });
        EXPECT_TRUE(inList && asItem) << part << " in " << made.checkList;
    }
    std::string leftOut;
    for (const std::string& l : made.leftOut) leftOut += l + "\n";
    for (const std::string& part : c.mustLeaveOut) EXPECT_TRUE(Contains(leftOut, part)) << part << " in " << leftOut;

    // A copy under another name (the digest caches know the first name) with
    // one byte changed at the start, the middle or the end fails.
    for (std::size_t at : {std::size_t{0}, c.bytes.size() / 2, c.bytes.size() - 1}) {
        if (c.bytes.empty()) break;
        std::string changed = c.bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        const std::string copy = dir.Write(std::string("changed") + std::to_string(at) + ".bin", changed);
        EXPECT_FALSE(Holds(copy, made.checkList)) << "byte " << at;
    }
    // One byte more fails too.
    const std::string longer = dir.Write("longer.bin", c.bytes + "x");
    EXPECT_FALSE(Holds(longer, made.checkList));
}

INSTANTIATE_TEST_SUITE_P(Files, RoundTrip, ::testing::ValuesIn(RoundTripCases()), ondrel::testing::CaseName());

TEST(MakeDefault, PeImagesGetTheCodeSectionAndAllSections) {
    TempDir dir;
    PeImage image;
    image.sections = {{"DATA", "data"}, {"CODE", "code"}};
    const std::string file = dir.Write("code.dll", image.Bytes());
    const MadeList made = MakeCheckList(file, Rules({"default"}));
    EXPECT_TRUE(Contains(made.checkList, ",SECMD5=")) << made.checkList;
    EXPECT_TRUE(Contains(made.checkList, ",SSECMD5=")) << made.checkList;
    EXPECT_TRUE(Holds(file, made.checkList));
}

TEST(QuoteEntry, TheSplittingGivesEveryEntryBack) {
    const std::vector<std::string> entries = {
        "MD5=ABC", "INI=a b", "INI=a,b", "INI=\"", "\"INI=x", "INI=a\"\"b", "INI=\t", "SSECMD5=\xE9-1", "INI=,",
    };
    for (const std::string& e : entries) {
        const std::vector<std::string> items = Items(QuoteEntry(e));
        ASSERT_EQ(items.size(), 1u) << e;
        EXPECT_EQ(items[0], e);
        const std::vector<std::string> two = Items(QuoteEntry(e) + "," + QuoteEntry(e));
        EXPECT_EQ(two, (std::vector<std::string>{e, e}));
    }
}

// ---- reasons, notes, hints ----

struct ExplainCase {
    std::string name;
    std::string fileKind;  // "text", "missing", "folder", "pe", "empty"
    std::string list;
    std::size_t entry;     // which entry's explanation to look at
    std::string reason;    // expected reason, or empty for none
    std::string note;      // part of a note, or empty for none
    std::string hint;      // part of a hint, or empty for none
};

std::vector<ExplainCase> ExplainCases() {
    return {
        {"MissingCrc", "missing", "CRC32=00000000,FLAGIFNOFILE=", 0, "not found", "", ""},
        {"FolderCrc", "folder", "CRC32=00000000", 0, "not a regular file", "", ""},
        {"MissingSize", "missing", "FILESIZE=0", 0, "", "the file is missing", ""},
        {"FolderSize", "folder", "FILESIZE<=0", 0, "", "a directory", ""},
        {"MissingMd5", "missing", "MD5=D41D8CD98F00B204E9800998ECF8427E", 0, "", "digest of no bytes: the file is missing", ""},
        {"EmptyMd5", "empty", "MD5=D41D8CD98F00B204E9800998ECF8427E", 0, "", "the file is empty", ""},
        {"RangePastEnd", "text", "SIZEMD5=0|999|D41D8CD98F00B204E9800998ECF8427E", 0, "", "range does not lie wholly", ""},
        {"NotPeSections", "text", "SECSIZE=0,SSECMD5=,SECMD5=", 0, "", "not a PE image", ""},
        {"NotPeAllSections", "text", "SECSIZE=0,SSECMD5=,SECMD5=", 2, "", "not a PE image", ""},
        {"MissingPe", "missing", "SECSIZE=0", 0, "", "not a PE image (the file is missing)", ""},
        {"NoResource", "pe", "ICONMD5=", 0, "", "no such resource", ""},
        {"NoSection", "pe", "SSECMD5=", 0, "", "no section of that name", ""},
        {"EmptyCrc", "empty", "CRC32=00000000", 0, "", "no bytes read", ""},
        {"DigestCase", "text", "MD5={md5}", 0, "", "", "only in letter case"},
        {"RangeDigestCase", "text", "SIZEMD5=0|12|{md5}", 0, "", "", "only in letter case"},
        {"OtherDigest", "text", "MD5=0123456789abcdef0123456789abcdef", 0, "", "", ""},
        {"CrcCase", "text", "CRC32=", 0, "", "", ""},
        {"UnknownKeyword", "text", "FILSIZE=5", 0, "", "", "nearest known one is FILESIZE"},
        {"UnknownKeywordFar", "text", "COLOUR=5", 0, "", "", "unknown keyword COLOUR"},
        {"BlanksAroundEquals", "text", "FILESIZE = 151344", 0, "", "", "was read as 3 entries; write FILESIZE=151344"},
        {"BlankInValue", "text", "INI=two words", 0, "", "", "was read as 2 entries"},
        {"BoundWithoutEquals", "text", "FILESIZE>4096", 0, "", "", "write FILESIZE>=4096"},
        {"AtMostWithoutEquals", "text", "filesize<10", 0, "", "", "write filesize<=10"},
        {"MisspeltBound", "text", "FILSIZE>4096", 0, "", "", "nearest known keyword is FILESIZE"},
        {"KeywordAlone", "text", "MD5", 0, "", "", "needs \"=\""},
        {"EmptyEntry", "text", "FILESIZE=13,", 1, "", "", "empty entry"},
        // Entries after the one that stopped the evaluation: unknown keywords are hinted at, known ones are not.
        {"UnknownAfterFailure", "text", "FILESIZE=1,FILSIZE=5", 1, "", "", "unknown keyword FILSIZE; the nearest known one is FILESIZE"},
        {"UnknownAfterUnknown", "text", "COLOUR=1,FILSIZE=5", 1, "", "", "unknown keyword FILSIZE; the nearest known one is FILESIZE"},
        {"UnknownAfterSeveral", "text", "FILESIZE=13,MD5=0,X=1,FILSIZE=5", 3, "", "", "nearest known one is FILESIZE"},
        {"KnownAfterFailure", "text", "FILESIZE=1,MD5=0", 1, "", "", ""},
        {"SmallLettersAfterFailure", "text", "FILESIZE=1,md5=0", 1, "", "", ""},
        {"KeywordAloneAfterFailure", "text", "FILESIZE=1,MD5", 1, "", "", "needs \"=\""},
        {"EmptyAfterFailure", "text", "FILESIZE=1,,MD5=0", 1, "", "", "empty entry"},
        {"BlanksAfterFailure", "text", "FILESIZE=1,FILSIZE = 5", 1, "", "", "was read as 3 entries; write FILSIZE=5"},
        {"BlanksSaidOnceLater", "text", "FILESIZE=1,FILSIZE = 5", 3, "", "", ""},
        {"BlanksSaidOnceFirst", "text", "FILESIZE = 13", 2, "", "", ""},
    };
}

class Explain : public ::testing::TestWithParam<ExplainCase> {};

TEST_P(Explain, ReasonNoteAndHint) {
    const ExplainCase& c = GetParam();
    TempDir dir;
    std::string file = dir.File("f");
    if (c.fileKind == "text") dir.Write("f", "hello, world\n");
    if (c.fileKind == "empty") dir.Write("f", "");
    if (c.fileKind == "folder") file = dir.Path().string();
    if (c.fileKind == "pe") {
        PeImage image;
        image.sections = {{".text", "code"}};
        dir.Write("f", image.Bytes());
    }
    // {md5}: the digest of the text file in small letters, as md5sum prints it.
    std::string list = c.list;
    if (const std::size_t at = list.find("{md5}"); at != std::string::npos) {
        std::string digest = ondrel::testing::DigestOfBytes("hello, world\n", 13);
        for (char& ch : digest) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        list.replace(at, 5, digest);
    }
    const CheckReport report = RunCheck(file, list);
    EXPECT_EQ(report.result, Holds(file, list)) << "the report's result is the engine's";
    ASSERT_LT(c.entry, report.entries.size());
    const EntryReport& r = report.entries[c.entry];
    EXPECT_EQ(r.reason, c.reason);
    std::string notes, hints;
    for (const std::string& n : r.notes) notes += n + "\n";
    for (const std::string& h : r.hints) hints += h + "\n";
    if (c.note.empty()) EXPECT_TRUE(notes.empty()) << notes;
    else EXPECT_TRUE(Contains(notes, c.note)) << notes;
    if (c.hint.empty()) EXPECT_TRUE(hints.empty()) << hints;
    else EXPECT_TRUE(Contains(hints, c.hint)) << hints;
}

INSTANTIATE_TEST_SUITE_P(Cases, Explain, ::testing::ValuesIn(ExplainCases()), ondrel::testing::CaseName());

TEST(Explain, ReasonsAreSeenOnlyByObservers) {
    TempDir dir;
    // The same lists with and without an observer give the same results.
    for (const char* list : {"CRC32=0", "CRC32=0,FLAGIFNOFILE=", "INI=x,FILESIZE=0", "FILESIZE=0"}) {
        const CheckReport report = RunCheck(dir.File("missing"), list);
        EXPECT_EQ(report.result, Holds(dir.File("missing"), list)) << list;
    }
}

#ifdef _WIN32
TEST(Explain, SharingViolation) {
    TempDir dir;
    const std::string file = dir.Write("open.bin", "written elsewhere");
    HANDLE writer = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const CheckReport report = RunCheck(file, "CRC32=0");
    CloseHandle(writer);
    ASSERT_EQ(report.entries.size(), 1u);
    EXPECT_EQ(report.entries[0].reason, "sharing violation");
}
#endif

TEST(NearestKeyword, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"FILSIZE", "FILESIZE"}, {"md4", "MD5"},       {"CRC", "CRC32"},     {"SECTMD5", "SECMD5"},
        {"ICONMD", "ICONMD5"},   {"FLAGIFNOFIL", "FLAGIFNOFILE"}, {"WHATEVERXYZ", ""}, {"ENDMD55", "ENDMD5"},
    };
    for (const auto& [name, nearest] : cases) EXPECT_EQ(NearestKeyword(name), nearest) << name;
}

// FILE and CHECKLIST given the other way round: hinted at only when the
// names leave little doubt. Run in a folder of its own: "present" is a
// file there, and so is one named like a check list.
struct SwapCase {
    std::string name;
    std::string file;
    std::string checkList;
    bool hint;
};

TEST(SwappedArguments, HintedOnlyWhenTheNamesLeaveLittleDoubt) {
    TempDir dir;
    dir.Write("present", "hello, world\n");
    dir.Write("MD5=0", "a file named like a list of known keywords");
    dir.Write("SIZE=2", "a file named like an entry");
    std::filesystem::create_directory(dir.Path() / "folder");
    const SwapCase cases[] = {
        {"Swapped", "FILESIZE=13", "present", true},
        {"SwappedWithTypo", "FILSIZE=13", "present", true},
        {"SwappedSeveralEntries", "FILESIZE=13,MD5=0", "./present", true},
        {"InOrder", "present", "FILESIZE=13", false},
        {"NeitherNamesAFile", "FILESIZE=13", "missing", false},
        {"FileNamedLikeAnEntryIsThere", "SIZE=2", "present", false},
        {"ListNamesKnownKeywords", "FILESIZE=13", "MD5=0", false},
        {"FirstReadsAsNoList", "missing.txt", "present", false},
        {"FirstEmpty", "", "present", false},
        {"ListNamesAFolder", "FILESIZE=13", "folder", true},
    };
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    for (const SwapCase& c : cases) {
        const std::optional<std::string> hint = SwappedArgumentsHint(c.file, c.checkList);
        EXPECT_EQ(hint.has_value(), c.hint) << c.name;
        if (hint) {
            EXPECT_TRUE(Contains(*hint, "did you swap them?")) << c.name << ": " << *hint;
        }
        // The hint reaches the report; the result stays the engine's.
        const CheckReport report = RunCheck(c.file, c.checkList);
        EXPECT_EQ(report.hints.size(), c.hint ? 1u : 0u) << c.name;
        EXPECT_EQ(report.result, Holds(c.file, c.checkList)) << c.name;
    }
    std::filesystem::current_path(before);
}

// ---- manifests ----

TEST(Manifest, FieldsSurviveEveryByte) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    for (const std::string& text : {all, std::string("a\\tb"), std::string("\\"), std::string("tab\there")}) {
        const std::string escaped = EscapeField(text);
        EXPECT_EQ(escaped.find_first_of("\t\n\r"), std::string::npos);
        EXPECT_EQ(UnescapeField(escaped), text);
    }
    EXPECT_EQ(UnescapeField("a\\"), std::nullopt);
    EXPECT_EQ(UnescapeField("a\\x"), std::nullopt);
}

TEST(Manifest, LinesCommentsAndDamage) {
    const std::string text =
        "# a comment\n"
        "\n"
        "   \n"
        "MD5=AB\tdir/a b,c\"d.txt\n"
        "no tab here\n"
        "MD5=CD\tcaf\xE9\\tx\r\n"
        "MD5=EF\t\n"
        "MD5=\\q\tfile\n"
        "  # indented comment\n"
        "FILESIZE=1\tlast";  // no line end
    const ManifestLines lines = ParseManifest(text);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].number, 4u);
    EXPECT_EQ(lines[0].path, "dir/a b,c\"d.txt");
    EXPECT_EQ(lines[0].checkList, "MD5=AB");
    EXPECT_EQ(lines[1].number, 5u);
    EXPECT_FALSE(lines[1].damage.empty());
    EXPECT_EQ(lines[2].path, "caf\xE9\tx");
    EXPECT_TRUE(lines[2].damage.empty());
    EXPECT_FALSE(lines[3].damage.empty());  // no path
    EXPECT_FALSE(lines[4].damage.empty());  // bad escape
    EXPECT_EQ(lines[5].number, 10u);
    EXPECT_EQ(lines[5].path, "last");
}

TEST(Manifest, ByteOrderMarkCrLfAndRootLines) {
    const std::string text =
        "\xEF\xBB\xBF# header\r\n"
        "MD5=AB\tfirst\r\n"
        "#root\ttree\r\n"
        "MD5=CD\ta/b\r\n"
        "#root-from-list\t..\n"
        "MD5=EF\tc\n"
        "#root\tbad\\q\n"
        "#rooted\tnot a root line, a comment\n";
    const ManifestLines lines = ParseManifest(text);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].path, "first");
    EXPECT_EQ(lines[0].root.dir, "");
    EXPECT_EQ(lines[1].root.dir, "tree");
    EXPECT_EQ(lines[1].root.from, ManifestRoot::From::CurrentFolder);
    EXPECT_EQ(lines[2].root.dir, "..");
    EXPECT_EQ(lines[2].root.from, ManifestRoot::From::ListFolder);
    EXPECT_EQ(lines[3].number, 7u);
    EXPECT_FALSE(lines[3].damage.empty()) << "a root line with a bad escape is damaged";
    // What make writes reads back as the same root.
    const ManifestRoot written{ManifestRoot::From::ListFolder, "../x\ty"};
    const ManifestLines back = ParseManifest(RootLine(written) + "\nMD5=1\tf\n");
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].root.dir, written.dir);
    EXPECT_EQ(back[0].root.from, written.from);
}

struct PathCase {
    std::string name;
    ManifestRoot::From from;
    std::string dir;
    std::string path;
    std::string listFolder;
    std::optional<std::string> rootOverride;
    std::string expected;  // with "/" standing for the system's separator
};

std::string Native(std::string p) {
#ifdef _WIN32
    std::replace(p.begin(), p.end(), '/', '\\');
#endif
    return p;
}

TEST(Manifest, PathToCheckJoinsWithoutTidying) {
    using From = ManifestRoot::From;
    const std::vector<PathCase> cases = {
        {"NoRoot", From::CurrentFolder, "", "a/b", "lists/", {}, "a/b"},
        {"RootFromCurrentFolder", From::CurrentFolder, "tree", "a/b", "lists/", {}, "tree/a/b"},
        {"RootEndsInSeparator", From::CurrentFolder, "tree/", "a", "", {}, "tree/a"},
        {"RootKeptAsGiven", From::CurrentFolder, "link/..", "a", "", {}, "link/../a"},
        {"FromListFolder", From::ListFolder, ".", "a", "tree/", {}, "tree/a"},
        {"FromListFolderUp", From::ListFolder, "../..", "a", "tree/sub/deep/", {}, "tree/sub/deep/../../a"},
        {"FromStandardInput", From::ListFolder, ".", "a", "", {}, "a"},
        {"Override", From::CurrentFolder, "tree", "a", "lists/", std::string("copy"), "copy/a"},
        {"Absolute", From::CurrentFolder, "tree", "/abs/a", "", {}, "/abs/a"},
    };
    for (const PathCase& c : cases) {
        ManifestLine line;
        line.root = {c.from, c.dir};
        line.path = c.path;
        EXPECT_EQ(PathToCheck(line, Native(c.listFolder), c.rootOverride), Native(c.expected)) << c.name;
    }
#ifdef _WIN32
    ManifestLine line;
    line.path = "a\\b";  // the Windows build reads "\" too
    line.root = {ManifestRoot::From::CurrentFolder, "C:\\data"};
    EXPECT_EQ(PathToCheck(line, "", {}), "C:\\data\\a\\b");
    line.path = "D:/x";
    EXPECT_EQ(PathToCheck(line, "", {}), "D:\\x");
    EXPECT_EQ(PortablePath("a\\b\\c"), "a/b/c");
    EXPECT_EQ(FolderOf("C:list"), "C:");
#else
    EXPECT_EQ(PortablePath("a\\b"), "a\\b") << "a backslash is part of a POSIX name";
#endif
    EXPECT_EQ(FolderOf("lists/tree.list"), "lists/");
    EXPECT_EQ(FolderOf("tree.list"), "");
}

TEST(Manifest, RootToCheckIsWherePathToCheckStarts) {
    using From = ManifestRoot::From;
    const std::vector<PathCase> cases = {
        {"NoRoot", From::CurrentFolder, "", "", "lists/", {}, ""},
        {"RootFromCurrentFolder", From::CurrentFolder, "tree", "", "lists/", {}, "tree"},
        {"FromListFolder", From::ListFolder, ".", "", "tree/", {}, "tree/"},
        {"FromListFolderUp", From::ListFolder, "..", "", "tree/sub/", {}, "tree/sub/.."},
        {"Override", From::CurrentFolder, "tree", "", "lists/", std::string("copy"), "copy"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(RootToCheck({c.from, c.dir}, Native(c.listFolder), c.rootOverride), Native(c.expected)) << c.name;
    }
}

TEST(Manifest, RootSeenOnlyAfterARootLine) {
    ManifestReader reader;
    ManifestLine line;
    EXPECT_TRUE(reader.Read({1, "MD5=00\ta"}, line));
    EXPECT_FALSE(reader.RootSeen()) << "a file line before any root line";
    EXPECT_FALSE(reader.Read({2, "#root\ttree"}, line));
    EXPECT_TRUE(reader.RootSeen());
    ManifestReader damagedRoot;
    EXPECT_TRUE(damagedRoot.Read({1, "#root\t\\q"}, line)) << "a damaged root line is a damaged line";
    EXPECT_FALSE(damagedRoot.RootSeen());
}

// ---- verify --new: what a manifest lists ----

TEST(ListedFiles, PathsComparedAsTheWalkGivesThem) {
    struct Case {
        const char* name;
        const char* written;
        const char* comparable;
    };
    const std::vector<Case> cases = {
        {"Plain", "a/b", "a/b"},
        {"LeadingDot", "./a", "a"},
        {"DotInside", "a/./b", "a/b"},
        {"SeveralDots", "././a/./././b/.", "a/b"},
        {"DotDotKept", "a/../b", "a/../b"},
        {"DoubleSlashKept", "a//b", "a//b"},
        {"DotsInNamesKept", ".a/..b/c.", ".a/..b/c."},
        {"Absolute", "/x/./y", "/x/y"},
#ifdef _WIN32
        {"BackslashSeparates", ".\\a\\b", "a/b"},
#else
        {"BackslashIsAName", "a\\b", "a\\b"},
#endif
    };
    for (const Case& c : cases) EXPECT_EQ(ComparablePath(c.written), c.comparable) << c.name;
}

// Whether a walked file (under root, at relative) is listed.
struct MembershipCase {
    const char* name;
    const char* root;
    const char* relative;
    bool listed;
};

void ExpectMembership(const ListedFiles& listed, const std::vector<MembershipCase>& cases) {
    for (const MembershipCase& c : cases) EXPECT_EQ(listed.Has(c.root, c.relative), c.listed) << c.name;
}

TEST(ListedFiles, MembershipPerRootAndRootsInOrder) {
    ListedFiles listed;
    listed.Add("tree", "a");
    listed.Add("tree", "./sub/b");
    listed.Add("other", "a");
    listed.Add("tree", "c");
    listed.Add("", "d");
    EXPECT_EQ(listed.Roots(), (std::vector<std::string>{"tree", "other", ""}));
    const std::vector<MembershipCase> cases = {
        {"Listed", "tree", "a", true},
        {"ListedWithDot", "tree", "sub/b", true},
        {"UnderAnotherRoot", "other", "c", false},
        {"SameNameOtherRoot", "other", "a", true},
        {"NotListed", "tree", "sub/new", false},
        {"RootAndPathDoNotRunTogether", "tre", "ea", false},
        {"CurrentFolderRoot", "", "d", true},
        {"PrefixOfAListedPath", "tree", "sub", false},
    };
    ExpectMembership(listed, cases);
}

TEST(ListedFiles, RootsOneInsideAnother) {
    struct Below {
        const char* name;
        const char* outer;
        const char* inner;
        std::optional<std::string> below;
    };
    const std::vector<Below> belows = {
        {"Subfolder", "tree", "tree/sub", "sub"},
        {"Deeper", "tree/", "tree/sub/er", "sub/er"},
        {"DotSegments", "./tree", "tree/./sub", "sub"},
        {"Same", "tree", "tree/", std::nullopt},
        {"SharedPrefixOnly", "tree", "treetop", std::nullopt},
        {"Above", "tree/sub", "tree", std::nullopt},
        {"CurrentFolderHoldsRelative", "", "tree", "tree"},
        {"CurrentFolderNotAbsolute", "", "/srv/tree", std::nullopt},
        {"CurrentFolderNotUp", "", "../tree", std::nullopt},
        {"TopFolder", "/", "/srv", "srv"},
    };
    for (const Below& b : belows) EXPECT_EQ(RootBelow(b.outer, b.inner), b.below) << b.name;

    ListedFiles listed;
    listed.Add("tree", "a");
    listed.Add("tree/sub", "b");
    listed.Add("tree/", "c");
    listed.Add("other", "d");
    const std::vector<MembershipCase> cases = {
        {"InnerFileFromOuterWalk", "tree", "sub/b", true},
        {"OuterFileFromInnerWalk", "tree/sub", "../a", false},
        {"SameFolderWrittenTwice", "tree", "c", true},
        {"NotListedUnderEither", "tree", "sub/x", false},
        {"OtherRootApart", "tree", "d", false},
    };
    ExpectMembership(listed, cases);
    EXPECT_FALSE(listed.InsideAnother("tree"));
    EXPECT_TRUE(listed.InsideAnother("tree/sub"));
    EXPECT_TRUE(listed.InsideAnother("tree/"));  // walked as "tree", met first
    EXPECT_FALSE(listed.InsideAnother("other"));
}

TEST(ReadsAsCheckList, EveryEntryAKnownKeyword) {
    struct Case {
        const char* name;
        const char* text;
        bool list;
    };
    const std::vector<Case> cases = {
        {"OneRule", "FILESIZE=3", true},
        {"SeveralRules", "MD5=0123,FILESIZE=3", true},
        {"LowerCase", "filesize=3", true},
        {"OneUnknownKeyword", "MD5=0123,COLOUR=3", false},
        {"Prose", "no tab on this line", false},
        {"Empty", "", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ReadsAsCheckList(c.text), c.list) << c.name;
}

// ---- make: rule sets and names ----

TEST(MakeRuleSets, EveryComputedKeywordHasASetAndAliasesResolve) {
    std::set<std::string> names;
    for (const RuleSetInfo& r : RuleSets()) names.insert(r.name);
    for (const Keyword& k : LibraryKeywords()) {
        if (k.form != ValueForm::Computed || !k.handler) continue;
        std::string lower(k.name);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_TRUE(names.count(lower)) << k.name;
    }
    EXPECT_EQ(Rules({"size"}), Rules({"filesize"}));
    EXPECT_EQ(Rules({"default"}), (RuleChoice{"filesize", "crc32", "md5", "secmd5", "code"}));
    EXPECT_EQ(Rules({"all"}).size(), names.size() - 2);
    const platform::Result<RuleChoice, platform::Reason> bad = ParseRuleSets({"md5", "nonsense"});
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.failure().text.find("\"nonsense\""), std::string::npos) << bad.failure().text;
}

// Sets that write the same entry ("code" and "sections" the code section,
// "version" and "resources" the version resource): the list holds it once,
// where it first comes, and the other entries in the order their sets
// write them.
TEST(MakeRuleSets, AnEntryOfSeveralSetsIsWrittenOnceWhereItFirstComes) {
    TempDir dir;
    PeImage image;
    image.sections = {{".text", "code bytes"}, {".data", "data bytes"}, {"INIT", "init"}};
    image.resources = {Res(PeKey::Id(16), PeKey::Id(1), "version"), Res(PeKey::Id(6), PeKey::Id(7), "strings"),
                       Res(PeKey::Id(16), PeKey::Id(2), "second version"),
                       Res(PeKey::Name(u"CUSTOM"), PeKey::Id(1), "custom")};
    const std::string file = dir.Write("image.dll", image.Bytes());
    std::vector<std::string> expected;
    std::size_t repeats = 0;
    for (const char* set : {"code", "sections", "version", "resources"})
        for (const std::string& entry : Items(MakeCheckList(file, Rules({set})).checkList)) {
            if (std::find(expected.begin(), expected.end(), entry) == expected.end()) expected.push_back(entry);
            else ++repeats;
        }
    EXPECT_EQ(repeats, 2u) << "the code section and the version resource";
    EXPECT_EQ(Items(MakeCheckList(file, Rules({"code", "sections", "version", "resources"})).checkList), expected);
}

#ifndef _WIN32
TEST(MakeNames, WildcardNamesGetNoSizeRules) {
    TempDir dir;
    dir.Write("xa", "12345");                 // what the pattern would find first
    const std::string star = dir.Write("x*", "abc");
    const MadeList made = MakeCheckList(star, Rules({"all"}));
    EXPECT_FALSE(Contains(made.checkList, "FILESIZE=")) << made.checkList;
    EXPECT_FALSE(Contains(made.checkList, "ENDMD5=")) << made.checkList;
    EXPECT_TRUE(Contains(made.checkList, "MD5=900150983CD24FB0D6963F7D28E17F72")) << made.checkList;
    std::string leftOut;
    for (const std::string& l : made.leftOut) leftOut += l + "\n";
    EXPECT_TRUE(Contains(leftOut, "FILESIZE: the name holds")) << leftOut;
    EXPECT_TRUE(Contains(leftOut, "ENDMD5: the name holds")) << leftOut;
    EXPECT_TRUE(Holds(star, made.checkList));
    // check says why the size is another file's.
    const CheckReport report = RunCheck(star, "FILESIZE=5");
    ASSERT_EQ(report.entries.size(), 1u);
    EXPECT_TRUE(Contains(report.entries[0].notes.at(0), "wildcards")) << report.entries[0].notes.at(0);
}

TEST(CheckNotes, SizeRulesOfFilesOfFourGiBSeeTheLowBits) {
    TempDir dir;
    const std::string big = dir.File("big");
    ondrel::testing::MakeSparseFile(big, (std::uint64_t{1} << 32) + 5);
    const CheckReport report = RunCheck(big, "FILESIZE=5,FILESIZE>=1");
    ASSERT_EQ(report.entries.size(), 2u);
    for (const EntryReport& r : report.entries) {
        ASSERT_EQ(r.notes.size(), 1u) << r.entry;
        EXPECT_TRUE(Contains(r.notes[0], "4 GiB or more (4294967301 bytes)")) << r.notes[0];
        EXPECT_TRUE(Contains(r.notes[0], "low 32 bits (5)")) << r.notes[0];
    }
    // Only the size rules: a range of one byte (a zero) has no such note.
    EXPECT_TRUE(RunCheck(big, "SIZEMD5=0|0|93B885ADFE0DA089CDF634904FD59F71").entries.at(0).notes.empty());
}
#endif

// ---- make and inspect: hostile images, parsed once ----

using ondrel::testing::HostileImage;

TEST(HostileImages, OneLongNameSharedByAllEntriesIsOneResource) {
    TempDir dir;
    const std::u16string longName(65535, u'N');
    const std::string file = dir.Write("shared.dll", HostileImage(316, 316, longName, 1));
    EXPECT_LT(file.size(), 0u + 200000);
    const FileFacts facts = ProbeFile(file);
    ASSERT_TRUE(facts.pe);
    ASSERT_EQ(facts.resources.size(), 1u) << "316 x 316 entries of one type and one name";
    const ResourceFacts& r = facts.resources[0];
    EXPECT_EQ(r.typeText, std::string(65535, 'N'));
    EXPECT_EQ(r.languages, std::vector<std::uint16_t>{0x409});
    EXPECT_EQ(r.size, 4u);
    ASSERT_TRUE(r.digest);
    EXPECT_EQ(*r.digest, ondrel::testing::DigestOfBytes("DATA", 4));
    std::optional<std::string> entry = ResourceEntry(r);
    ASSERT_TRUE(entry);
#ifndef _WIN32
    // The entry inspect shows is what the engine computes. (The system's
    // lookup on Windows finds no type or name that long; make checks each
    // entry with the engine, so none such reaches a list it writes.)
    EXPECT_TRUE(Holds(file, *entry));
#endif
    const MadeList made = MakeCheckList(file, Rules({"all"}));
    EXPECT_TRUE(Holds(file, made.checkList)) << made.checkList.size();
}

TEST(HostileImages, ManyResourcesAndSectionsAreListedFromOneParse) {
    TempDir dir;
    const std::string file = dir.Write("many.dll", HostileImage(316, 316, {}, 65535));
    const FileFacts facts = ProbeFile(file);
    ASSERT_TRUE(facts.pe);
    EXPECT_EQ(facts.sections.size(), 65535u);
    ASSERT_EQ(facts.resources.size(), 99856u);
    EXPECT_EQ(facts.resources[0].typeText, "RT_CURSOR");
    EXPECT_EQ(facts.resources.back().typeText, "#316");
    EXPECT_EQ(facts.resources.back().nameText, "316");
    for (std::size_t i : {std::size_t{0}, std::size_t{5000}, facts.resources.size() - 1}) {
        std::optional<std::string> entry = ResourceEntry(facts.resources[i]);
        ASSERT_TRUE(entry) << i;
        EXPECT_TRUE(Holds(file, *entry)) << *entry;
    }
    const MadeList made = MakeCheckList(file, Rules({"default"}));
    EXPECT_TRUE(Holds(file, made.checkList)) << made.checkList;
    EXPECT_TRUE(Contains(made.checkList, "SSECMD5=.rsrc-")) << made.checkList;
}

// ---- inspect: the language a resource's digest is of ----

// One resource of several languages, each language's data naming it, so
// that a digest tells which language's data it covers.
struct DigestLanguageCase {
    std::string name;
    std::vector<std::uint16_t> languages;
    std::uint16_t expected;  // what our reader picks with its default preferences (POSIX)
    bool anyLocale;          // the pick is the same whatever the locales (Windows)
};

std::string LanguageData(std::uint16_t language) { return "data of language " + std::to_string(language); }

std::string ImageOfLanguages(const std::vector<std::uint16_t>& languages) {
    PeImage image;
    image.sections = {{".text", "code"}};
    for (std::uint16_t l : languages) image.resources.push_back(Res(PeKey::Id(10), PeKey::Id(7), LanguageData(l), l));
    return image.Bytes();
}

// The digest shown is that of the language shown, and the entry holds: the
// rule reads that language too (on Windows, through the system's lookup).
void ExpectDigestOfLanguageTheRuleReads(const std::string& file, const std::string& what,
                                        std::optional<std::uint16_t> expected) {
    const FileFacts facts = ProbeFile(file);
    ASSERT_EQ(facts.resources.size(), 1u) << what;
    const ResourceFacts& r = facts.resources[0];
    ASSERT_TRUE(r.language && r.digest) << what << ": " << r.typeText << "/" << r.nameText << " " << r.whyNoRule;
    if (expected) {
        EXPECT_EQ(*r.language, *expected) << what;
    }
    const std::string data = LanguageData(*r.language);
    EXPECT_EQ(*r.digest, ondrel::testing::DigestOfBytes(data.data(), data.size())) << what;
    EXPECT_EQ(r.size, data.size()) << what;
    const std::optional<std::string> entry = ResourceEntry(r);
    ASSERT_TRUE(entry) << what;
    EXPECT_TRUE(Holds(file, *entry)) << what << ": " << *entry;
}

TEST(DigestLanguage, TheLanguageTheRuleReads) {
    const DigestLanguageCase cases[] = {
        {"NeutralFirst", {0x407, 0x000, 0x409}, 0x000, true},
        {"EnglishUnitedStates", {0x407, 0x409, 0x40C}, 0x409, false},
        {"EnglishNeutralSublanguage", {0x809, 0x009}, 0x009, false},
        {"FirstWhenNoneIsPreferred", {0x40C, 0x407}, 0x407, false},
        {"OneLanguage", {0x411}, 0x411, true},
    };
    TempDir dir;
    for (const DigestLanguageCase& c : cases) {
        const std::string file = dir.Write(c.name + ".dll", ImageOfLanguages(c.languages));
#ifdef _WIN32
        // The system's lookup prefers the locales of the thread, the user and
        // the system, whatever they are where this runs.
        const std::optional<std::uint16_t> expected = c.anyLocale ? std::optional(c.expected) : std::nullopt;
#else
        const std::optional<std::uint16_t> expected = c.expected;
#endif
        ExpectDigestOfLanguageTheRuleReads(file, c.name, expected);
    }
}

#ifdef _WIN32
// The thread's locale comes first after the neutral language in the system's
// lookup: inspect follows it, and its entries still hold.
TEST(DigestLanguage, FollowsTheThreadsLocaleOnWindows) {
    const std::pair<const char*, std::uint16_t> cases[] = {{"German", 0x407}, {"French", 0x40C}, {"English", 0x409}};
    TempDir dir;
    const std::string file = dir.Write("three.dll", ImageOfLanguages({0x407, 0x409, 0x40C}));
    const LCID before = GetThreadLocale();
    for (const auto& [name, language] : cases) {
        ASSERT_TRUE(SetThreadLocale(MAKELCID(language, SORT_DEFAULT))) << name;
        ExpectDigestOfLanguageTheRuleReads(file, name, language);
    }
    SetThreadLocale(before);
}
#endif

// ---- verify: one file ----

struct VerifyCase {
    std::string name;
    std::string fileKind;  // "file", "missing", "folder"
    std::string list;
    Verdict verdict;
    std::string reason;    // part of the reason
};

TEST(VerifyFile, MissingWhateverTheListAndWhy) {
    const VerifyCase cases[] = {
        {"Held", "file", "FILESIZE=5", Verdict::Held, ""},
        {"Failed", "file", "FILESIZE=6", Verdict::Failed, ""},
        {"UnknownKeyword", "file", "FOO=1", Verdict::Failed, "unknown keyword FOO"},
        {"MissingEmptyList", "missing", "", Verdict::Missing, "not found"},
        {"MissingSizeZero", "missing", "FILESIZE=0", Verdict::Missing, "not found"},
        {"MissingFlag", "missing", "CRC32=0,FLAGIFNOFILE=", Verdict::Missing, "not found"},
        {"FolderEmptyList", "folder", "", Verdict::Missing, "not a regular file"},
        {"FolderSizeZero", "folder", "FILESIZE=0", Verdict::Missing, "not a regular file"},
    };
    TempDir dir;
    dir.Write("file", "12345");
    std::filesystem::create_directory(dir.Path() / "folder");
    for (const VerifyCase& c : cases) {
        const FileVerdict v = VerifyFile(dir.File(c.fileKind), c.list);
        EXPECT_EQ(v.verdict, c.verdict) << c.name;
        EXPECT_TRUE(Contains(v.reason, c.reason)) << c.name << ": " << v.reason;
    }
    const FileVerdict failed = VerifyFile(dir.File("file"), "FILESIZE=5,MD5=00");
    EXPECT_EQ(failed.failedEntry, "MD5=00");
    EXPECT_EQ(failed.computed, ondrel::testing::DigestOfBytes("12345", 5));
}

TEST(VerifyFile, FreshDigestsAreWholeFileDigests) {
    TempDir dir;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{1} << 20,
                             (std::size_t{1} << 20) + 1, 3 * (std::size_t{1} << 20) + 5}) {
        const std::string bytes = ondrel::testing::CountingBytes(size);
        const std::string file = dir.Write(std::string("s") + std::to_string(size), bytes);
        EXPECT_EQ(VerifyFile(file, "MD5=" + ondrel::testing::DigestOfBytes(bytes.data(), bytes.size())).verdict, Verdict::Held) << size;
        EXPECT_EQ(VerifyFile(file, "MD5=0").verdict, Verdict::Failed) << size;
    }
    // The same name checked twice after a change is digested afresh.
    const std::string twice = dir.Write("twice", "first");
    EXPECT_EQ(VerifyFile(twice, "MD5=" + ondrel::testing::DigestOfBytes("first", 5)).verdict, Verdict::Held);
    dir.Write("twice", "second");
    EXPECT_EQ(VerifyFile(twice, "MD5=" + ondrel::testing::DigestOfBytes("first", 5)).verdict, Verdict::Failed);
}

TEST(VerifyFile, MadeListsOfPeImagesHoldOnManyThreads) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> work;
    for (int i = 0; i < 12; ++i) {
        const std::string file = dir.Write(std::string("image") + std::to_string(i) + ".dll", OddImage(i % 2 == 1));
        work.emplace_back(file, MakeCheckList(file, Rules({"all"})).checkList);
    }
    std::vector<Verdict> verdicts;
    RunInOrder<FileVerdict>(
        work.size(), 4, [&](std::size_t i) { return VerifyFile(work[i].first, work[i].second); },
        [&](std::size_t, FileVerdict& v) { verdicts.push_back(v.verdict); }, [](std::size_t) {});
    EXPECT_EQ(verdicts, std::vector<Verdict>(work.size(), Verdict::Held));
}

// ---- the pool of verify and make ----

TEST(RunInOrder, ResultsComeInItemOrderWhateverFinishesFirst) {
    for (unsigned threads : {1u, 3u, 8u}) {
        std::vector<std::size_t> emitted;
        RunInOrder<std::size_t>(
            50, threads,
            [](std::size_t i) {
                std::this_thread::sleep_for(std::chrono::microseconds((50 - i) * 100));  // later items finish first
                return i * i;
            },
            [&](std::size_t i, std::size_t& r) {
                EXPECT_EQ(r, i * i);
                emitted.push_back(i);
            },
            [](std::size_t) {});
        ASSERT_EQ(emitted.size(), 50u) << threads;
        for (std::size_t i = 0; i < emitted.size(); ++i) EXPECT_EQ(emitted[i], i);
    }
}

TEST(RunInOrder, AFailedEmitStopsTheWork) {
    std::atomic<std::size_t> worked{0};
    std::atomic<bool> thrown{false};
    EXPECT_THROW(RunInOrder<int>(
                     10000, 2,
                     [&](std::size_t i) {
                         ++worked;
                         if (i <= 5) return 0;
                         while (!thrown) std::this_thread::yield();  // the rest waits for the failure,
                         std::this_thread::sleep_for(std::chrono::milliseconds(10));  // and takes its time
                         return 0;
                     },
                     [&](std::size_t i, int&) {
                         if (i != 3) return;
                         thrown = true;
                         throw std::runtime_error("write failed");
                     },
                     [](std::size_t) {}),
                 std::runtime_error);
    EXPECT_LT(worked.load(), 100u) << "the threads stop after the items they hold";
}

// Thread starts the system refuses: fewer workers, down to the calling
// thread alone, which then emits each result as soon as it is made; one
// note; the same results in the same order.
class FailingThreadStarts {
public:
    explicit FailingThreadStarts(long after) { FailThreadStartsAfter(after); }
    ~FailingThreadStarts() { StopFailingThreadStarts(); }
};

TEST(RunInOrder, ThreadsThatCannotStartLeaveFewerWorkers) {
    struct Case {
        const char* name;
        long starts;  // before they fail; negative: none fails
        unsigned threads;
        std::size_t workers;
        std::string note;
    };
    const Case cases[] = {
        {"AllStart", -1, 4, 4, ""},
        {"TwoOfFour", 2, 4, 2, "could start 2 of 4 threads ("},
        {"NoneOfFour", 0, 4, 0, "could start 0 of 4 threads ("},
        {"NoneOfOne", 0, 1, 0, "could start 0 of 1 threads ("},
    };
    constexpr std::size_t kItems = 40;
    for (const Case& c : cases) {
        FailingThreadStarts failing(c.starts);
        const std::thread::id caller = std::this_thread::get_id();
        std::mutex lock;
        std::set<std::thread::id> ran;
        std::vector<std::size_t> emitted, emittedBeforeWork(kItems);
        std::vector<std::string> notes;
        RunInOrder<std::size_t>(
            kItems, c.threads,
            [&](std::size_t i) {
                {
                    std::lock_guard<std::mutex> hold(lock);
                    ran.insert(std::this_thread::get_id());
                    emittedBeforeWork[i] = emitted.size();
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                return i * 3;
            },
            [&](std::size_t i, std::size_t& r) {
                EXPECT_EQ(r, i * 3) << c.name;
                std::lock_guard<std::mutex> hold(lock);
                emitted.push_back(i);
            },
            [](std::size_t) {}, [&](const std::string& note) { notes.push_back(note); });
        ASSERT_EQ(emitted.size(), kItems) << c.name;
        for (std::size_t i = 0; i < kItems; ++i) EXPECT_EQ(emitted[i], i) << c.name;
        if (c.note.empty()) {
            EXPECT_TRUE(notes.empty()) << c.name << ": " << notes[0];
        } else {
            ASSERT_EQ(notes.size(), 1u) << c.name;
            EXPECT_EQ(notes[0].rfind(c.note, 0), 0u) << c.name << ": " << notes[0];
            EXPECT_TRUE(Contains(notes[0], c.workers ? "going on with " + std::to_string(c.workers) : "main thread alone"))
                << c.name << ": " << notes[0];
        }
        if (c.workers == 0) {
            EXPECT_EQ(ran, std::set<std::thread::id>{caller}) << c.name;
            // Nothing waits for the end: each result went out before the next item was begun.
            for (std::size_t i = 0; i < kItems; ++i) EXPECT_EQ(emittedBeforeWork[i], i) << c.name << " item " << i;
        } else {
            EXPECT_LE(ran.size(), c.workers) << c.name;
            EXPECT_EQ(ran.count(caller), 0u) << c.name;
        }
    }
}

// A worker out of memory: the work stops, every result before its item is
// emitted in order, and std::bad_alloc goes on from the calling thread (out
// of a worker thread it would end the process), whether the item was on a
// thread of the pool or on the calling thread itself.
TEST(RunInOrder, AWorkerOutOfMemoryEndsTheRunOnTheCallingThread) {
    struct Case {
        const char* name;
        long starts;
        unsigned threads;
    };
    const Case cases[] = {{"OneWorker", -1, 1}, {"ThreeWorkers", -1, 3}, {"CallingThreadAlone", 0, 3}};
    constexpr std::size_t kItems = 2000, kFailing = 17;
    for (const Case& c : cases) {
        FailingThreadStarts failing(c.starts);
        std::atomic<std::size_t> worked{0};
        std::vector<std::size_t> emitted;
        EXPECT_THROW(RunInOrder<std::size_t>(
                         kItems, c.threads,
                         [&](std::size_t i) -> std::size_t {
                             ++worked;
                             if (i == kFailing) throw std::bad_alloc();
                             std::this_thread::sleep_for(std::chrono::microseconds(100));
                             return i;
                         },
                         [&](std::size_t i, std::size_t&) { emitted.push_back(i); }, [](std::size_t) {}),
                     std::bad_alloc)
            << c.name;
        ASSERT_EQ(emitted.size(), kFailing) << c.name;
        for (std::size_t i = 0; i < kFailing; ++i) EXPECT_EQ(emitted[i], i) << c.name;
        EXPECT_LT(worked.load(), 100u) << c.name << ": the other workers stop after the items they hold";
    }
}

#ifndef _WIN32
// The same under the system's own limits, in a child process each.

TEST(PoolLimitsChild, NoThreadForTheUser) {
    ONDREL_ONLY_IN_CHILD();
    // The limit binds no root: a root child becomes nobody first.
    if (getuid() == 0) {
        ASSERT_EQ(setgroups(0, nullptr), 0);
        ASSERT_EQ(setgid(65534), 0);
        ASSERT_EQ(setuid(65534), 0);
    }
    TempDir dir;
    std::vector<std::string> files;
    for (int i = 0; i < 8; ++i) files.push_back(dir.Write(std::string("f").append(std::to_string(i)), std::string(1000 + i, static_cast<char>('a' + i))));
    const RuleChoice rules = Rules({"default"});
    std::vector<MadeList> plain;
    for (const std::string& f : files) plain.push_back(MakeCheckList(f, rules));
    // The process counts already: no other may start. Only the soft limit
    // binds; it goes back up afterwards for a sanitizer's own threads at exit.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NPROC, &before), 0);
    rlimit one{1, before.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &one), 0);
    std::vector<std::string> notes;
    std::vector<std::size_t> order;
    RunFilesInOrder<MadeList>(
        files.size(), 4, [&](std::size_t i) { return ReadPlan{&files[i], NeedsOf(rules)}; },
        [&](std::size_t i, const FileRead* read) { return MakeCheckList(files[i], rules, read); },
        [&](std::size_t i, MadeList& made) {
            order.push_back(i);
            EXPECT_EQ(made.checkList, plain[i].checkList) << files[i];
        },
        [](std::size_t) {}, [&](const std::string& note) { notes.push_back(note); });
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &before), 0);
    EXPECT_EQ(order.size(), files.size());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind("could start 0 of 4 threads (", 0), 0u) << notes[0];
}

TEST(PoolLimits, NoThreadForTheUser) {
    EXPECT_TRUE(ondrel::testing::ChildPassesWithin("PoolLimitsChild.NoThreadForTheUser", std::chrono::seconds(60)));
}

TEST(PoolLimitsChild, AWorkerOutOfAddressSpace) {
    ONDREL_ONLY_IN_CHILD();
    std::vector<std::size_t> emitted;
    ondrel::testing::LimitAddressSpaceToNowAnd(std::size_t{64} << 20);  // room for two threads' stacks, not for 1 GiB
    EXPECT_THROW(RunInOrder<std::size_t>(
                     40, 2,
                     [](std::size_t i) {
                         if (i == 7) ::operator delete(::operator new(std::size_t{1} << 30));  // a call, never elided
                         return i;
                     },
                     [&](std::size_t i, std::size_t&) { emitted.push_back(i); }, [](std::size_t) {}),
                 std::bad_alloc);
    EXPECT_EQ(emitted, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
}

TEST(PoolLimits, AWorkerOutOfAddressSpace) {
    if (ondrel::testing::kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory needs far more address space than the limit";
    EXPECT_TRUE(ondrel::testing::ChildPassesWithin("PoolLimitsChild.AWorkerOutOfAddressSpace", std::chrono::seconds(60)));
}
#endif

// ---- make --manifest: the walk ----

TEST(WalkTree, NameOrderFoldersAmongFilesAndRootAsGiven) {
    TempDir dir;
    std::filesystem::create_directories(dir.Path() / "t" / "b");
    dir.Write("t/a", "1");
    dir.Write("t/b/x", "2");
    dir.Write("t/c", "3");
    std::vector<WalkIssue> issues;
    const std::string root = dir.File("t") + Native("/b/..");  // kept as given, not tidied
    const std::vector<WalkedFile> files = WalkTree(root, [&](const WalkIssue& i) { issues.push_back(i); });
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].relative, "a");
    EXPECT_EQ(files[1].relative, "b/x");
    EXPECT_EQ(files[2].relative, "c");
    EXPECT_EQ(files[1].path, root + Native("/b/x"));
    EXPECT_TRUE(issues.empty());
}

#ifndef _WIN32
TEST(WalkTree, EveryEntryLeftOutIsSaidWithItsOwnPath) {
    TempDir dir;
    std::filesystem::create_directories(dir.Path() / "t" / "sub");
    dir.Write("t/sub/kept", "1");
    std::filesystem::create_symlink(dir.File("nowhere"), dir.Path() / "t" / "dangling");
    std::filesystem::create_directory_symlink(dir.File("t/sub"), dir.Path() / "t" / "folderlink");
    std::filesystem::create_symlink(dir.File("t/sub/kept"), dir.Path() / "t" / "filelink");
    ASSERT_EQ(mkfifo(dir.File("t/fifo").c_str(), 0600), 0);
    std::vector<WalkIssue> issues;
    const std::vector<WalkedFile> files = WalkTree(dir.File("t"), [&](const WalkIssue& i) { issues.push_back(i); });
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].relative, "filelink");
    EXPECT_EQ(files[1].relative, "sub/kept");
    ASSERT_EQ(issues.size(), 3u);
    EXPECT_EQ(issues[0].path, dir.File("t/dangling"));
    EXPECT_TRUE(issues[0].fails);
    EXPECT_EQ(issues[1].path, dir.File("t/fifo"));
    EXPECT_FALSE(issues[1].fails);
    EXPECT_EQ(issues[2].path, dir.File("t/folderlink"));
    EXPECT_FALSE(issues[2].fails);
    if (geteuid() == 0) GTEST_SKIP() << "the superuser reads every folder";
    chmod(dir.File("t/sub").c_str(), 0);
    issues.clear();
    const std::vector<WalkedFile> rest = WalkTree(dir.File("t"), [&](const WalkIssue& i) { issues.push_back(i); });
    chmod(dir.File("t/sub").c_str(), 0700);
    EXPECT_EQ(rest.size(), 1u);
    ASSERT_EQ(issues.size(), 4u);
    EXPECT_EQ(issues[3].path, dir.File("t/sub"));
    EXPECT_TRUE(issues[3].fails);
}
#endif

// A result whose value is text keeps its value apart from its reason, and
// moves the reason on unchanged.
TEST(Result, AValueOrTheReasonItFailed) {
    using platform::Reason;
    const platform::Result<std::string, Reason> value = std::string("the text");
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, "the text");
    EXPECT_TRUE(value.failure().text.empty());

    const platform::Result<std::string, Reason> failed = Reason{"the text"};
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.failure().text, "the text");
    const std::optional<std::string> nothing = failed;
    EXPECT_FALSE(nothing);

    const platform::Outcome done = platform::Done{};
    EXPECT_TRUE(done);
    const platform::Outcome notDone = Reason{"why"};
    ASSERT_FALSE(notDone);
    EXPECT_EQ(notDone.failure().text, "why");
}

TEST(ReadText, TheWholeTextOrWhyNot) {
    TempDir dir;
    std::filesystem::create_directory(dir.Path() / "folder");
    const std::string large = ondrel::testing::CountingBytes(3 * 64 * 1024 + 7);  // past several reads
    const std::string zeroed("a\tb\r\n\0c", 7);                                     // read past the zero byte
    struct Case {
        const char* name;
        std::string file;
        std::optional<std::string> text;  // nothing when it cannot be read
        const char* why;                  // in the reason when it cannot
    } cases[] = {
        {"Small", dir.Write("small", zeroed), zeroed, ""},
        {"Empty", dir.Write("empty", ""), std::string(), ""},
        {"Large", dir.Write("large", large), large, ""},
        {"Folder", dir.File("folder"), std::nullopt, "a folder, not a manifest"},
        {"Missing", dir.File("missing"), std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const platform::Result<std::string, platform::Reason> read = ReadText(c.file, "manifest");
        ASSERT_EQ(read.has_value(), c.text.has_value()) << read.failure().text;
        if (read) {
            EXPECT_EQ(*read, *c.text);
        } else {
            EXPECT_FALSE(read.failure().text.empty());
            EXPECT_NE(read.failure().text.find(c.why), std::string::npos) << read.failure().text;
        }
    }
}
}  // namespace
