// The ondrel command's logic: lists made from files hold and a changed byte
// breaks them, reasons, notes and hints, manifests, verification.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "checks/engine.h"
#include "checks/rules.h"
#include "checksums/md5.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"
#include "tools/tool.h"

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
    return Evaluate(file.c_str(), list.c_str(), LibraryKeywords());
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
    const MadeList made = MakeCheckList(file, kAll, ProbeFile(file));
    ASSERT_FALSE(made.checkList.empty());
    EXPECT_TRUE(Holds(file, made.checkList)) << made.checkList;

    // Every entry comes back from the splitting as it was made.
    const std::vector<std::string> items = SplitCheckList(made.checkList.c_str());
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
    const MadeList made = MakeCheckList(file, kDefault, ProbeFile(file));
    EXPECT_TRUE(Contains(made.checkList, ",SECMD5=")) << made.checkList;
    EXPECT_TRUE(Contains(made.checkList, ",SSECMD5=")) << made.checkList;
    EXPECT_TRUE(Holds(file, made.checkList));
}

TEST(QuoteEntry, TheSplittingGivesEveryEntryBack) {
    const std::vector<std::string> entries = {
        "MD5=ABC", "INI=a b", "INI=a,b", "INI=\"", "\"INI=x", "INI=a\"\"b", "INI=\t", "SSECMD5=\xE9-1", "INI=,",
    };
    for (const std::string& e : entries) {
        const std::vector<std::string> items = SplitCheckList(QuoteEntry(e).c_str());
        ASSERT_EQ(items.size(), 1u) << e;
        EXPECT_EQ(items[0], e);
        const std::vector<std::string> two = SplitCheckList((QuoteEntry(e) + "," + QuoteEntry(e)).c_str());
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
        std::string digest = DigestTextOf("hello, world\n", 13);
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

TEST(SplitWithGroups, AgreesWithTheEngine) {
    for (const char* list : {"A=1,B=2", "A = 1", "\"A = 1\",B", " A=1 , B=2 ,", ",", "A B,C D", "\"a\"\"b\" c", ""}) {
        const std::vector<SplitItem> items = SplitWithGroups(list);
        const std::vector<std::string> engine = SplitCheckList(list);
        ASSERT_EQ(items.size(), engine.size()) << list;
        for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].text, engine[i]) << list;
    }
    const std::vector<SplitItem> items = SplitWithGroups("A = 1,B=2 C");
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].group, items[2].group);
    EXPECT_NE(items[2].group, items[3].group);
    EXPECT_EQ(items[3].group, items[4].group);
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
    const std::vector<ManifestLine> lines = ParseManifest(text);
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

TEST(Manifest, RelativePathsStartAtTheManifestsFolder) {
#ifdef _WIN32
    EXPECT_EQ(ResolveManifestPath("C:\\m\\list", "a\\b"), "C:\\m\\a\\b");
    EXPECT_EQ(ResolveManifestPath("C:\\m\\list", "D:\\x"), "D:\\x");
    EXPECT_EQ(ResolveManifestPath("m/list", "a"), "m/a");
    EXPECT_EQ(ResolveManifestPath("list", "a"), "a");
#else
    EXPECT_EQ(ResolveManifestPath("/m/list", "a/b"), "/m/a/b");
    EXPECT_EQ(ResolveManifestPath("m/list", "a"), "m/a");
    EXPECT_EQ(ResolveManifestPath("list", "a"), "a");
    EXPECT_EQ(ResolveManifestPath("/m/list", "/abs"), "/abs");
#endif
}

TEST(Verify, HeldFailedMissingOnSeveralThreads) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> work;
    std::vector<Verdict> expected;
    for (int i = 0; i < 40; ++i) {
        const std::string file = dir.Write(std::string("f") + std::to_string(i), std::string(static_cast<std::size_t>(i) * 100, 'x'));
        std::string list = MakeCheckList(file, kMd5 | kSize, ProbeFile(file)).checkList;
        Verdict v = Verdict::Held;
        if (i % 5 == 1) {
            dir.Write(std::string("f") + std::to_string(i), "changed");
            v = Verdict::Failed;
        } else if (i % 5 == 2) {
            std::filesystem::remove(file);
            v = Verdict::Missing;
        }
        work.emplace_back(file, list);
        expected.push_back(v);
    }
    // The same file twice: each check digests it afresh.
    const std::string changed = dir.Write("twice", "first");
    work.emplace_back(changed, MakeCheckList(changed, kMd5, ProbeFile(changed)).checkList);
    expected.push_back(Verdict::Held);
    dir.Write("twice", "second");
    work.emplace_back(changed, work.back().second);
    expected.push_back(Verdict::Failed);
    work.back().first = changed;

    for (unsigned threads : {1u, 3u}) {
        const std::vector<FileVerdict> verdicts = VerifyAll(work, threads, nullptr);
        ASSERT_EQ(verdicts.size(), work.size());
        for (std::size_t i = 0; i + 2 < work.size(); ++i)
            EXPECT_EQ(verdicts[i].verdict, expected[i]) << i << " on " << threads << " threads";
        EXPECT_EQ(verdicts.back().verdict, Verdict::Failed);
        EXPECT_TRUE(Contains(verdicts[1].failedEntry, "FILESIZE=") || Contains(verdicts[1].failedEntry, "MD5="));
    }
}

TEST(Verify, PeImagesOnSeveralThreads) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> work;
    for (int i = 0; i < 12; ++i) {
        const std::string file = dir.Write(std::string("image") + std::to_string(i) + ".dll", OddImage(i % 2 == 1));
        work.emplace_back(file, MakeCheckList(file, kAll, ProbeFile(file)).checkList);
    }
    for (const FileVerdict& v : VerifyAll(work, 4, nullptr)) EXPECT_EQ(v.verdict, Verdict::Held) << v.failedEntry;
}

TEST(Verify, FreshDigestsAreWholeFileDigests) {
    TempDir dir;
    // A missing file and a folder give the digest of no bytes.
    std::vector<std::pair<std::string, std::string>> files = {{dir.File("missing"), ""}, {dir.Path().string(), ""}};
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{1} << 20,
                             (std::size_t{1} << 20) + 1, 3 * (std::size_t{1} << 20) + 5}) {
        const std::string bytes = ondrel::testing::CountingBytes(size);
        files.emplace_back(dir.Write(std::string("s") + std::to_string(size), bytes), bytes);
    }
    for (const auto& [file, bytes] : files) {
        const std::string list = "MD5=" + ondrel::DigestTextOf(bytes.data(), bytes.size());
        EXPECT_TRUE(Evaluate(file.c_str(), list.c_str(), UncachedKeywords())) << file;
        EXPECT_FALSE(Evaluate(file.c_str(), "MD5=0", UncachedKeywords())) << file;
    }
}

}  // namespace
