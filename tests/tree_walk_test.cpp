// The walk of a tree one file at a time (order, what is said where it is
// met, folders listed only when entered), the files identify walks, and where
// make's manifest lies in the tree it lists: found before the walk, left out
// when the walk meets it, under any of its names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/command_services.h"
#include "tests/support/test_files.h"
#include "tools/cli/catalog_load.h"
#include "tools/manifest/list_place.h"
#include "tools/manifest/tree_walk.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace ondrel::tool;
using ondrel::testing::CaseName;
using ondrel::testing::TempDir;

std::string Native(std::string p) {
#ifdef _WIN32
    for (char& c : p)
        if (c == '/') c = '\\';
#endif
    return p;
}

void Touch(const TempDir& dir, const std::string& name) { dir.Write(name, name); }

// ---- the walk ----

// What the walk gave, in the order it gave it: "relative" for a file,
// "! path from the root: what" for an issue, "!!" when the issue fails.
std::vector<std::string> Trace(const std::string& root) {
    std::vector<std::string> trace;
    TreeWalk walk(root, [&](const WalkIssue& i) {
        const std::string below = i.path.size() > root.size() ? i.path.substr(root.size() + 1) : ".";
        trace.push_back((i.fails ? "!! " : "! ") + below + ": " + i.what);
    });
    for (WalkedFile f; walk.Next(f);) {
        EXPECT_EQ(f.path, root + Native("/" + f.relative));
        trace.push_back(f.relative);
    }
    return trace;
}

struct WalkCase {
    std::string name;
    std::function<void(const TempDir&)> build;  // under "t"
    std::vector<std::string> expected;
};
void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

std::vector<WalkCase> WalkRows() {
    return {
        {"NestedAndEmptyFolders",
         [](const TempDir& d) {
             fs::create_directories(d.Path() / "t" / "b");
             fs::create_directories(d.Path() / "t" / "c" / "d" / "empty");
             Touch(d, "t/a");
             Touch(d, "t/c/d/e");
             Touch(d, "t/c/f");
             Touch(d, "t/g");
         },
         {"a", "c/d/e", "c/f", "g"}},
        {"FoldersAmongFilesInByteOrder",
         [](const TempDir& d) {
             fs::create_directories(d.Path() / "t" / "a");
             Touch(d, "t/a.txt");
             Touch(d, "t/a/x");
             Touch(d, "t/a-b");
             Touch(d, "t/B");
         },
         {"B", "a/x", "a-b", "a.txt"}},  // a folder sorts by its own name, not as "a/"
        {"NothingButEmptyFolders",
         [](const TempDir& d) { fs::create_directories(d.Path() / "t" / "x" / "y"); },
         {}},
        {"MissingRoot", [](const TempDir&) {}, {"!! .: the folder cannot be read (not found)"}},
#ifndef _WIN32
        {"LinksToFilesTakenToFoldersSaid",
         [](const TempDir& d) {
             fs::create_directories(d.Path() / "t" / "sub");
             Touch(d, "t/sub/kept");
             fs::create_symlink(d.File("t/sub/kept"), d.Path() / "t" / "filelink");
             fs::create_directory_symlink(d.File("t/sub"), d.Path() / "t" / "dirlink");
         },
         {"! dirlink: a link to a folder, not followed", "filelink", "sub/kept"}},
        {"DanglingLinksSaidWhereMet",
         [](const TempDir& d) {
             fs::create_directories(d.Path() / "t" / "m");
             Touch(d, "t/a");
             fs::create_symlink(d.File("nowhere"), d.Path() / "t" / "m" / "dangling");
             Touch(d, "t/m/z");
             Touch(d, "t/z");
         },
         {"a", "!! m/dangling: a link that leads to nothing", "m/z", "z"}},
        {"UnreadableFolderSaidWalkGoesOn",
         [](const TempDir& d) {
             fs::create_directories(d.Path() / "t" / "locked");
             Touch(d, "t/a");
             Touch(d, "t/locked/hidden");
             Touch(d, "t/z");
             chmod(d.File("t/locked").c_str(), 0);
         },
         {"a", "!! locked: the folder cannot be read (access denied)", "z"}},
        {"FifoLeftOut",
         [](const TempDir& d) {
             fs::create_directories(d.Path() / "t");
             ASSERT_EQ(mkfifo(d.File("t/fifo").c_str(), 0600), 0);
             Touch(d, "t/x");
         },
         {"! fifo: not a regular file, left out", "x"}},
#endif
    };
}

class TreeWalkCases : public ::testing::TestWithParam<WalkCase> {};

TEST_P(TreeWalkCases, OrderAndIssuesWhereMet) {
    const WalkCase& c = GetParam();
#ifndef _WIN32
    if (c.name == "UnreadableFolderSaidWalkGoesOn" && geteuid() == 0) GTEST_SKIP() << "the superuser reads every folder";
#endif
    TempDir dir;
    c.build(dir);
    const std::vector<std::string> trace = Trace(dir.File("t"));
    // The collected walk gives the same files in the same order.
    std::vector<std::string> collected;
    for (const WalkedFile& f : WalkTree(dir.File("t"), [](const WalkIssue&) {})) collected.push_back(f.relative);
#ifndef _WIN32
    chmod(dir.File("t/locked").c_str(), 0700);  // so that the folder can be removed
#endif
    EXPECT_EQ(trace, c.expected);
    std::vector<std::string> files;
    for (const std::string& t : c.expected)
        if (t[0] != '!') files.push_back(t);
    EXPECT_EQ(collected, files);
}

INSTANTIATE_TEST_SUITE_P(Trees, TreeWalkCases, ::testing::ValuesIn(WalkRows()), CaseName());

// A folder is listed when the walk enters it, not before: what it holds
// then is what the walk gives; a folder already listed is not read again.
TEST(TreeWalk, FoldersListedWhenEntered) {
    TempDir dir;
    fs::create_directories(dir.Path() / "t" / "later");
    Touch(dir, "t/a");
    Touch(dir, "t/later/one");
    TreeWalk walk(dir.File("t"), [](const WalkIssue& i) { ADD_FAILURE() << i.path << ": " << i.what; });
    WalkedFile f;
    ASSERT_TRUE(walk.Next(f));
    EXPECT_EQ(f.relative, "a");
    Touch(dir, "t/later/two");  // the folder is not listed yet: it is seen
    Touch(dir, "t/b");          // the root was listed: it is not
    std::vector<std::string> rest;
    while (walk.Next(f)) rest.push_back(f.relative);
    EXPECT_EQ(rest, (std::vector<std::string>{"later/one", "later/two"}));
    EXPECT_FALSE(walk.Next(f));  // and it stays over
}

// identify's files: those given first, as given, then each folder's walk;
// a walk that loses something says so.
TEST(FilesToMatchSource, GivenThenEachFolderWalked) {
    TempDir dir;
    fs::create_directories(dir.Path() / "one" / "sub");
    fs::create_directories(dir.Path() / "two");
    Touch(dir, "one/sub/b");
    Touch(dir, "one/a");
    Touch(dir, "two/c");
    const std::vector<std::string> given{dir.File("given"), dir.File("one/a")};
    const std::vector<std::string> folders{dir.File("two"), dir.File("one"), dir.File("missing")};
    FilesToMatchSource source(given, folders, "identify");
    std::vector<std::string> paths;
    std::vector<std::string> shown;
    for (FileToMatch f; source.Next(f);) {
        paths.push_back(f.path);
        shown.push_back(f.shown);
    }
    // Those given as given, those walked with the system's separator.
    const std::vector<std::string> expected{dir.File("given"), dir.File("one/a"), dir.File(Native("two/c")),
                                            dir.File(Native("one/a")), dir.File(Native("one/sub/b"))};
    EXPECT_EQ(paths, expected);
    ASSERT_EQ(shown.size(), expected.size());
    EXPECT_EQ(shown[4].substr(shown[4].size() - 10), "/one/sub/b");
    EXPECT_TRUE(source.Lost());  // the missing folder

    bool lost = false;
    std::vector<std::string> all;
    for (const FileToMatch& f : FilesToMatch(given, folders, "identify", lost)) all.push_back(f.path);
    EXPECT_EQ(all, expected);
    EXPECT_TRUE(lost);
}

// ---- the manifest's place ----

// The name a file has with no link among its folders.
std::string Full(const std::string& name) {
#ifdef _WIN32
    return name;  // no link among a temporary folder's
#else
    return fs::weakly_canonical(fs::path(name)).string();
#endif
}

// While it lives the working folder is another.
class WorkingFolder {
public:
    explicit WorkingFolder(const fs::path& to) : before_(fs::current_path()) { fs::current_path(to); }
    ~WorkingFolder() { fs::current_path(before_); }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    fs::path before_;
};

struct PlaceCase {
    std::string name;
    std::string dir;   // as given, from the test's folder (the working folder)
    std::string file;  // the file, from the test's folder, made full
    std::optional<std::string> relative;
    std::string up;
};
void PrintTo(const PlaceCase& c, std::ostream* os) { *os << c.name; }

std::vector<PlaceCase> PlaceRows() {
    return {
        {"AtTheTop", "t", "t/x.list", "x.list", "."},
        {"InASubfolder", "t", "t/sub/x.list", "sub/x.list", ".."},
        {"TwoDown", "t", "t/sub/deeper/x.list", "sub/deeper/x.list", "../.."},
        {"BesideTheTree", "t", "x.list", std::nullopt, ""},
        {"InAnotherTree", "t", "other/x.list", std::nullopt, ""},
        {"DirThroughParentFolder", "t/sub/..", "t/sub/x.list", "sub/x.list", ".."},
        {"DirIsTheFilesFolder", "t/sub", "t/sub/x.list", "x.list", "."},
        {"DirMissing", "nowhere", "t/x.list", std::nullopt, ""},
#ifndef _WIN32
        {"DirThroughALink", "link", "t/sub/x.list", "sub/x.list", ".."},
        // The walk does not follow the link in the tree: the list is not in it.
        {"FolderLinkedFromTheTree", "t", "t/out/x.list", std::nullopt, ""},
#endif
    };
}

class PlaceCases : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(PlaceCases, FoundByGoingUpTheFolders) {
    const PlaceCase& c = GetParam();
    TempDir dir;
    fs::create_directories(dir.Path() / "t" / "sub" / "deeper");
    fs::create_directories(dir.Path() / "other");
#ifndef _WIN32
    fs::create_directory_symlink(dir.Path() / "t", dir.Path() / "link");
    fs::create_directory_symlink(dir.Path() / "other", dir.Path() / "t" / "out");
#endif
    const WorkingFolder at(dir.Path());
    const std::optional<ListPlace> place = PlaceUnder(Native(c.dir), Full(dir.File(c.file)));
    ASSERT_EQ(place.has_value(), c.relative.has_value());
    if (!place) return;
    EXPECT_EQ(place->relative, *c.relative);
    EXPECT_EQ(place->up, c.up);
}

INSTANTIATE_TEST_SUITE_P(Places, PlaceCases, ::testing::ValuesIn(PlaceRows()), CaseName());

// While it lives standard output writes to a file (made empty) or, when
// none is named, to a pipe.
class OutputTo {
public:
    explicit OutputTo(const std::optional<std::string>& file) {
        std::fflush(stdout);
#ifdef _WIN32
        before_ = GetStdHandle(STD_OUTPUT_HANDLE);
        if (file)
            now_ = CreateFileA(file->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        else
            CreatePipe(&pipeRead_, &now_, nullptr, 0);
        SetStdHandle(STD_OUTPUT_HANDLE, now_);
#else
        before_ = dup(1);
        int fd = -1;
        if (file) fd = open(file->c_str(), O_WRONLY | O_TRUNC);
        else if (pipe(pipe_) == 0) fd = pipe_[1];
        dup2(fd, 1);
        close(fd);
#endif
    }
    ~OutputTo() {
        std::fflush(stdout);
#ifdef _WIN32
        SetStdHandle(STD_OUTPUT_HANDLE, before_);
        CloseHandle(now_);
        if (pipeRead_) CloseHandle(pipeRead_);
#else
        dup2(before_, 1);
        close(before_);
        if (pipe_[0] >= 0) close(pipe_[0]);
#endif
    }
    OutputTo(const OutputTo&) = delete;
    OutputTo& operator=(const OutputTo&) = delete;

private:
#ifdef _WIN32
    HANDLE before_ = nullptr;
    HANDLE now_ = INVALID_HANDLE_VALUE;
    HANDLE pipeRead_ = nullptr;
#else
    int before_ = -1;
    int pipe_[2] = {-1, -1};
#endif
};

struct OwnListCase {
    std::string name;
    std::string dir;                      // as given, from the test's folder
    std::optional<std::string> output;    // the name standard output is opened by; none: a pipe
    std::optional<std::string> twin;      // a second name of it (a hard link)
    std::optional<std::string> relative;  // its place found before the walk
    std::string up;
    std::vector<std::string> kept;  // what the walk keeps
};
void PrintTo(const OwnListCase& c, std::ostream* os) { *os << c.name; }

std::vector<OwnListCase> OwnListRows() {
    const std::vector<std::string> tree{"a", "sub/b"};
    return {
        {"AtTheTop", "t", "t/x.list", std::nullopt, "x.list", ".", tree},
        {"InASubfolder", "t", "t/sub/x.list", std::nullopt, "sub/x.list", "..", tree},
        {"OutsideTheTree", "t", "x.list", std::nullopt, std::nullopt, "", tree},
        {"ToAPipe", "t", std::nullopt, std::nullopt, std::nullopt, "", tree},
        {"DirRelativeWithParentFolder", Native("t/sub/.."), "t/sub/x.list", std::nullopt, "sub/x.list", "..", tree},
        // Opened by its name outside: its place is not known, yet the walk
        // meets its other name and leaves it out.
        {"SecondNameInTheTree", "t", "x.list", "t/sub/twin.list", std::nullopt, "", tree},
        // Both names in the tree: the place is the name it was opened by.
        {"BothNamesInTheTree", "t", "t/x.list", "t/sub/twin.list", "x.list", ".", tree},
    };
}

class OwnListCases : public ::testing::TestWithParam<OwnListCase> {};

TEST_P(OwnListCases, PlaceBeforeTheWalkAndLeftOutWhenMet) {
    const OwnListCase& c = GetParam();
    TempDir dir;
    fs::create_directories(dir.Path() / "t" / "sub");
    Touch(dir, "t/a");
    Touch(dir, "t/sub/b");
    if (c.output) Touch(dir, *c.output);
    if (c.twin) {
        std::error_code e;
        fs::create_hard_link(dir.File(*c.output), dir.File(*c.twin), e);
        if (e) GTEST_SKIP() << "no hard link here: " << e.message();
    }
    const WorkingFolder at(dir.Path());
    std::optional<ListPlace> place;
    std::vector<std::string> kept;
    std::vector<std::string> issues;
    {
        const OutputTo out(c.output ? std::optional<std::string>(dir.File(*c.output)) : std::nullopt);
        const OwnList list(c.dir);
        place = list.Place();
        TreeWalk walk(c.dir, [&](const WalkIssue& i) { issues.push_back(i.path + ": " + i.what); });
        for (WalkedFile f; walk.Next(f);)
            if (!list.Is(f)) kept.push_back(f.relative);
    }
    EXPECT_TRUE(issues.empty()) << issues[0];
    ASSERT_EQ(place.has_value(), c.relative.has_value());
    if (place) {
        EXPECT_EQ(place->relative, *c.relative);
        EXPECT_EQ(place->up, c.up);
    }
    EXPECT_EQ(kept, c.kept);
}

INSTANTIATE_TEST_SUITE_P(Outputs, OwnListCases, ::testing::ValuesIn(OwnListRows()), CaseName());

// The platform's answers the place is found with.
TEST(StandardOutput, PathAndKeyOfTheFileItWritesTo) {
    TempDir dir;
    fs::create_directories(dir.Path() / "f");
    const std::string file = dir.Write("out.list", "");
    std::optional<std::string> path;
    std::optional<ondrel::platform::FileKey> key;
    bool oneName = false;
    {
        const OutputTo out(file);
        path = ondrel::platform::StandardOutputPath();
        key = ondrel::platform::StandardOutputFile();
        oneName = ondrel::platform::StandardOutputHasOneName();
    }
    ASSERT_TRUE(path.has_value());
    EXPECT_TRUE(fs::equivalent(*path, file)) << *path;
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(key->SameFile(*ondrel::platform::FileKeyOf(file)));
    EXPECT_TRUE(oneName);
    // Folder keys: the same folder by any name, never a file's.
    const std::optional<ondrel::platform::FileKey> folder = ondrel::platform::FolderKeyOf(dir.File("f"));
    ASSERT_TRUE(folder.has_value());
    const std::optional<ondrel::platform::FileKey> again = ondrel::platform::FolderKeyOf(dir.File("f/../f"));
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(folder->SameFile(*again));
    EXPECT_FALSE(folder->SameFile(*ondrel::platform::FolderKeyOf(dir.File(""))));
    EXPECT_FALSE(ondrel::platform::FolderKeyOf(file).has_value());
    EXPECT_FALSE(ondrel::platform::FolderKeyOf(dir.File("missing")).has_value());
}

}  // namespace
