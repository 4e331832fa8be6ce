// ondrel verify LIST...: every file of the manifests checked on all cores,
// the results in manifest order as the files are done.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include <CLI/CLI.hpp>

#include "platform/file.h"
#include "tools/cli/commands.h"
#include "tools/batch/in_order.h"
#include "tools/manifest/manifest.h"
#include "tools/cli/output.h"
#include "platform/command_services.h"
#include "tools/manifest/listed_files.h"
#include "tools/manifest/text_file.h"
#include "tools/manifest/tree_walk.h"
#include "tools/manifest/verify.h"
#include "tools/rules/check_report.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

struct VerifyOptions {
    std::vector<std::string> lists;
    std::string root;  // --root: where relative paths start instead
    std::optional<std::string> folder;  // -C: the current folder to start in
    bool quiet = false;
    bool json = false;
    bool verbose = false;
    bool ignoreMissing = false;
    bool reportNew = false;  // --new
    bool strict = false;     // --strict: NEW files fail the run
    unsigned jobs = 0;
};

// A manifest as it is read: its counts, kept to the end for the summary.
struct ListState {
    std::string name;
    std::string folder;  // where "#root-from-list" starts; empty: the current folder
    bool opened = true;  // false: it could not be read at all, and has no summary
    std::size_t lines = 0;  // file lines and damaged lines
    std::size_t held = 0, failed = 0, missing = 0, damaged = 0, fresh = 0;
    json damagedLines = json::array();
    // For the hint that the list is a bare check list: whether a sound file
    // line was read, and the first damaged line when it has no TAB.
    bool anyFile = false;
    bool firstDamageSeen = false;
    std::optional<std::string> bareList;
    // With --new: what the list holds, its roots, and the list's own file.
    ListedFiles listed;
    bool rootless = false;  // a file line before any root line, without --root
    std::optional<platform::FileKey> key;
};

// What the manifests say, in their order: a file to check, a damaged line,
// the end of a list, a list that ends with no file line, or one that cannot
// be read. All of it goes out in that order, through the pool.
struct Item {
    enum class Kind { File, Damaged, End, NoFile, Unreadable } kind = Kind::File;
    ListState* list = nullptr;
    ManifestLine line;
    std::string path;    // as tried
    std::string reason;  // why the list cannot be read
    std::uint64_t read = 0;  // bytes of the manifests read up to this line
};

// The bytes of the manifests together, when each is a regular file or not
// there at all (it then gives no line); nothing when one is a pipe.
std::optional<std::uint64_t> ListsSize(const std::vector<std::string>& names) {
    namespace fs = std::filesystem;
    std::uint64_t total = 0;
    for (const std::string& name : names) {
        if (name == "-") return std::nullopt;
        std::error_code e;
        const fs::file_status status = fs::status(fs::path(name), e);
        if (!fs::exists(status)) continue;
        if (!fs::is_regular_file(status)) return std::nullopt;
        const std::uintmax_t size = fs::file_size(fs::path(name), e);
        if (!e) total += size;
    }
    return total;
}

// The folder a list lies in: of the file a link leads to; none for a pipe.
std::string FolderOfList(const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code e;
    if (name == "-") return {};
    if (!fs::is_symlink(fs::path(name), e)) return FolderOf(name);
    const fs::path real = fs::canonical(fs::path(name), e);
    return e || !fs::is_regular_file(real, e) ? std::string() : FolderOf(real.string());
}

class VerifyRun {
public:
    explicit VerifyRun(const VerifyOptions& o) : o_(o), progress_(!o.quiet && !o.json) {}
    int Run();

private:
    bool Next(Item& item);
    void Say(const std::string& text);
    void Emit(Item& item, const FileVerdict& v);
    void EmitFile(const Item& item, const FileVerdict& v);
    void EmitText(const Item& item, const FileVerdict& v);
    void Listed(ListState& list, const ManifestLine& line);
    void EndList(ListState& list);
    void ReportNew(ListState& list);
    json FileJson(const Item& item, const FileVerdict& v) const;
    void Progress();
    int Summarise();

    const VerifyOptions& o_;
    ProgressLine progress_;
    const std::optional<std::string> root_ = o_.root.empty() ? std::nullopt : std::optional(o_.root);
    std::vector<std::unique_ptr<ListState>> lists_;
    // The manifest being read, and the bytes of those read before it.
    std::size_t nextList_ = 0;
    std::unique_ptr<LineReader> reader_;
    ManifestReader manifest_;
    std::uint64_t readBefore_ = 0;
    std::optional<JsonWriter> json_;
    // The bar: the bytes of the manifests whose lines went out, of all of
    // them (when known), and the files checked.
    std::optional<std::uint64_t> size_;
    std::uint64_t shownBytes_ = 0;
    std::size_t checked_ = 0;
    int status_ = kHolds;
};

// The next thing the manifests say, reading them one after another.
bool VerifyRun::Next(Item& item) {
    for (;;) {
        if (!reader_) {
            if (nextList_ == o_.lists.size()) return false;
            const std::string& name = o_.lists[nextList_++];
            auto list = std::make_unique<ListState>();
            list->name = name;
            list->folder = FolderOfList(name);
            if (o_.reportNew && name != "-") list->key = platform::FileKeyOf(name);
            lists_.push_back(std::move(list));
            reader_ = std::make_unique<LineReader>(name, "manifest");
            manifest_ = ManifestReader();
        }
        ListState& list = *lists_.back();
        item.list = &list;
        if (const std::optional<TextLine> text = reader_->Next()) {
            if (!manifest_.Read(*text, item.line)) continue;
            ++list.lines;
            item.read = readBefore_ + reader_->Consumed();
            item.kind = item.line.damage.empty() ? Item::Kind::File : Item::Kind::Damaged;
            if (item.kind == Item::Kind::File) {
                item.path = PathToCheck(item.line, list.folder, root_);
                list.anyFile = true;
                if (o_.reportNew) Listed(list, item.line);
            } else if (!list.firstDamageSeen) {
                list.firstDamageSeen = true;
                if (text->text.find('\t') == std::string_view::npos) list.bareList = std::string(text->text);
            }
            return true;
        }
        // The end of the list.
        readBefore_ += reader_->Consumed();
        const std::optional<platform::Reason> failure = reader_->Failure();
        reader_.reset();
        item.read = readBefore_;
        if (failure) {
            list.opened = list.lines > 0;  // lines that went out keep their counts
            item.kind = Item::Kind::Unreadable;
            item.reason = failure->text;
            return true;
        }
        item.kind = list.lines == 0 ? Item::Kind::NoFile : Item::Kind::End;
        return true;
    }
}

// A file line kept for --new: under the root its path starts from.
void VerifyRun::Listed(ListState& list, const ManifestLine& line) {
    if (!root_ && !manifest_.RootSeen()) list.rootless = true;
    list.listed.Add(RootToCheck(line.root, list.folder, root_), line.path);
}

// A warning, after the results before it and on a line of its own below
// the bar.
void VerifyRun::Say(const std::string& text) {
    out::Flush();
    Warn("verify", text);
}

json VerifyRun::FileJson(const Item& item, const FileVerdict& v) const {
    const char* verdict = v.verdict == Verdict::Held ? "held" : v.verdict == Verdict::Failed ? "failed" : "missing";
    auto nullable = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
    return {{"manifest", item.list->name}, {"line", item.line.number}, {"path", item.line.path},
            {"tried", item.path}, {"verdict", verdict}, {"entry", nullable(v.failedEntry)},
            {"computed", nullable(v.computed)}, {"reason", nullable(v.reason)}};
}

void VerifyRun::EmitText(const Item& item, const FileVerdict& v) {
    std::string line = ShownName(item.path);
    if (v.verdict == Verdict::Held) line += ": OK";
    else if (v.verdict == Verdict::Missing) line += ": MISSING (" + v.reason + ")";
    else if (v.failedEntry.empty()) line += ": FAILED (" + v.reason + ")";
    else line += ": FAILED at " + v.failedEntry + " (" + (v.reason.empty() ? "computed " + v.computed : v.reason) + ")";
    out::Line(line);
}

void VerifyRun::EmitFile(const Item& item, const FileVerdict& v) {
    ListState& list = *item.list;
    const bool missing = v.verdict == Verdict::Missing;
    (v.verdict == Verdict::Held ? list.held : missing ? list.missing : list.failed)++;
    ++checked_;
    const bool shown = v.verdict != Verdict::Held ? !(missing && o_.ignoreMissing) : o_.verbose;
    if (!shown || o_.quiet) return;
    if (json_) json_->Element(FileJson(item, v));
    else EmitText(item, v);
}

void VerifyRun::Emit(Item& item, const FileVerdict& v) {
    shownBytes_ = item.read;
    ListState& list = *item.list;
    switch (item.kind) {
        case Item::Kind::File:
            EmitFile(item, v);
            break;
        case Item::Kind::Damaged:
            ++list.damaged;
            list.damagedLines.push_back({{"line", item.line.number}, {"damage", item.line.damage}});
            if (!o_.quiet && !o_.json)
                Say(list.name + ":" + std::to_string(item.line.number) + ": damaged line: " + item.line.damage);
            break;
        case Item::Kind::End:
            EndList(list);
            break;
        case Item::Kind::NoFile:
            Say(list.name + ": no file listed");
            if (status_ == kHolds) status_ = kFails;
            break;
        case Item::Kind::Unreadable:
            Say(list.name + ": " + item.reason);
            status_ = kUsage;
            break;
    }
}

// After the results of a list: the hint when it is a bare check list, and
// with --new the files under its roots that it does not list.
void VerifyRun::EndList(ListState& list) {
    if (!list.anyFile && list.bareList && ReadsAsCheckList(*list.bareList) && !o_.quiet)
        Say(list.name + ": this is a check list, not a manifest; check a file against it with: ondrel check FILE " +
            list.name);
    if (o_.reportNew && list.anyFile) ReportNew(list);
    list.listed = ListedFiles();  // the memory goes with the list
}

// Every file under the list's roots, in the walk's order, that the list does
// not name, save the list itself.
void VerifyRun::ReportNew(ListState& list) {
    if (list.rootless) {
        Say(list.name + ": --new needs a root line (or --root DIR)");
        status_ = kUsage;
        return;
    }
    for (const std::string& root : list.listed.Roots()) {
        if (list.listed.InsideAnother(root)) continue;  // the walk of the one that holds it meets its files
        TreeWalk walk(root.empty() ? std::string(".") : root, [&](const WalkIssue& issue) {
            if (!o_.quiet) Say(ShownName(issue.path) + ": " + issue.what);
            if (issue.fails && status_ == kHolds) status_ = kFails;
        });
        for (WalkedFile file; walk.Next(file);) {
            if (list.listed.Has(root, file.relative)) continue;
            if (list.key) {
                const std::optional<platform::FileKey> key = platform::FileKeyOf(file.path);
                if (key && key->SameFile(*list.key)) continue;
            }
            ++list.fresh;
            if (o_.quiet) continue;
            if (json_) {
                json_->Element({{"manifest", list.name}, {"line", nullptr}, {"path", file.relative},
                                {"tried", file.path}, {"verdict", "new"}, {"entry", nullptr},
                                {"computed", nullptr}, {"reason", nullptr}});
            } else {
                out::Line(ShownName(file.path) + ": NEW");
            }
        }
    }
}

// The bar: how much of the manifests went out, when their sizes are
// known, else how many files were checked.
void VerifyRun::Progress() {
    out::Flush();
    progress_.Show([&] {
        if (!size_ || *size_ == 0) return std::to_string(checked_) + " files";
        constexpr std::size_t kWidth = 40;
        const std::uint64_t shown = std::min(shownBytes_, *size_);
        const auto filled = static_cast<std::size_t>(shown * kWidth / *size_);
        return "[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] " +
               std::to_string(shown * 100 / *size_) + "% " + std::to_string(checked_) + " files";
    });
}

int VerifyRun::Summarise() {
    json manifests = json::array();
    const auto summarised = std::count_if(lists_.begin(), lists_.end(), [](const auto& l) { return l->opened; });
    for (const auto& l : lists_) {
        if (!l->opened) continue;
        const bool noneVerified = o_.ignoreMissing && l->missing > 0 && l->held + l->failed == 0;
        if (noneVerified) Warn("verify", l->name + ": no file was verified");
        if (l->failed || l->damaged || noneVerified || (l->missing && !o_.ignoreMissing) || (o_.strict && l->fresh))
            if (status_ == kHolds) status_ = kFails;
        json counts = {{"manifest", l->name}, {"held", l->held}, {"failed", l->failed}, {"missing", l->missing},
                       {"damaged", l->damaged}, {"damagedLines", l->damagedLines}};
        if (o_.reportNew) counts["new"] = l->fresh;
        manifests.push_back(std::move(counts));
        if (o_.quiet || o_.json || l->lines == 0) continue;
        std::string line = (summarised > 1 ? l->name + ": " : "") + std::to_string(l->held) + " held, " +
                           std::to_string(l->failed) + " failed, " + std::to_string(l->missing) + " missing" +
                           (o_.ignoreMissing && l->missing ? " (ignored)" : "");
        if (l->damaged) line += ", " + std::to_string(l->damaged) + " damaged line" + (l->damaged == 1 ? "" : "s");
        if (o_.reportNew) line += ", " + std::to_string(l->fresh) + " new";
        std::fputs((line + "\n").c_str(), stderr);
    }
    if (json_) {
        json_->EndArray();
        json_->Member("manifests", manifests);
        json_->End();
    }
    return status_;
}

int VerifyRun::Run() {
    if (progress_.Enabled()) size_ = ListsSize(o_.lists);
    if (o_.json) {
        json_.emplace();
        json_->BeginArray("files");
    }
    StreamFilesInOrder<Item, FileVerdict>(
        o_.jobs ? o_.jobs : platform::Cores(), ToolWindow(), [&](Item& item) { return Next(item); },
        [](const Item& item) {
            if (item.kind != Item::Kind::File) return ReadPlan{};  // nothing to read, nothing to check
            return ReadPlan{&item.path, NeedsOf(item.line.checkList)};
        },
        [](const Item& item, const FileRead* read) {
            if (item.kind != Item::Kind::File) return FileVerdict{};
            return VerifyFile(item.path, item.line.checkList, read);
        },
        [&](Item& item, FileVerdict& v) { Emit(item, v); }, [&](std::size_t) { Progress(); },
        [&](const std::string& note) { Say(note); });
    progress_.End();
    return Summarise();
}

constexpr const char* kPathRule =
    "Where paths start: a relative path of a manifest is taken from its root. --root DIR names the root; "
    "otherwise the last line \"#root<TAB>DIR\" before it does, DIR from the current folder (make writes the DIR "
    "it walked), or \"#root-from-list<TAB>DIR\", DIR from the manifest's own folder (make writes it when the "
    "manifest goes inside the tree it describes, which then leaves itself out); without either, the current "
    "folder. A manifest read from standard input (-) has the current folder as its own. -C DIR runs as if started "
    "in DIR: the LIST names, \"#root\" lines and paths without a root are then taken from DIR.";

constexpr const char* kNewRule =
    "With --new, each manifest is followed by the files under its roots (the folders its lines start from, or "
    "--root DIR) that it does not list, as \"PATH: NEW\", in the order of a walk of each root; the manifest "
    "itself is never new. A listed path is compared as make writes it, relative to its root with \"/\" between "
    "names: \"./\" segments are dropped, a path holding \"..\" or an absolute one matches no file found. What "
    "the manifest lists is held as a 64-bit hash of each root and path (memory in proportion to the manifest), "
    "so that two names could collide, with a chance below one in 2^60 per name. A manifest whose lines have no "
    "root line before them needs --root DIR.";

}  // namespace

void SetupVerify(CLI::App& app, int& status) {
    auto o = std::make_shared<VerifyOptions>();
    CLI::App* cmd = app.add_subcommand(
        "verify", "Checks every file of the manifests LIST... on all cores and prints, in manifest order as they "
                  "are done, a line for each file that FAILED (the first entry that failed and what it computed, "
                  "or why) or is MISSING (the path tried, and why), and with -v for each that held (OK); then a "
                  "summary \"N held, M failed, K missing\" on standard error. Names have \"/\" between folders; "
                  "one holding a backslash, TAB, line feed or carriage return is escaped as in manifests and "
                  "starts with a backslash.");
    cmd->add_option("LIST", o->lists, "manifests, as made by ondrel make; - for standard input")->required()->type_name("");
    CLI::Option* quiet = cmd->add_flag("-q,--quiet", o->quiet, "print nothing; the exit status tells");
    CLI::Option* asJson = cmd->add_flag("--json", o->json, "print one JSON object: the files as -v shows them, and "
                                                         "each manifest's counts");
    asJson->excludes(quiet);
    cmd->add_flag("-v,--verbose", o->verbose, "also print a line for each file that held")->excludes(quiet);
    cmd->add_flag("--ignore-missing", o->ignoreMissing, "say nothing of missing files, nor fail for them");
    cmd->add_option("--root", o->root, "take relative paths from DIR")->type_name("DIR");
    cmd->add_option("-C", o->folder, "run as if started in DIR")->type_name("DIR");
    CLI::Option* reportNew =
        cmd->add_flag("--new", o->reportNew, "also report the files under each manifest's roots that it does not "
                                             "list (NEW)");
    cmd->add_flag("--strict", o->strict, "with --new: a NEW file fails the run")->needs(reportNew);
    cmd->add_option("-j,--jobs", o->jobs, "files to check at once (default: one per core)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u).description(""));
    cmd->footer(std::string(kPathRule) + "\n" + kNewRule +
                "\nExit status: 0 every file held; 1 a file failed or is missing, a line is damaged, a "
                "manifest lists no file (or, with --ignore-missing, no file was there), a folder under a root "
                "cannot be walked (--new), or with --strict a file is NEW; 2 a usage error, a folder of -C that "
                "cannot be entered, a manifest that cannot be read, one without a root line with --new, or a "
                "failed write.");
    cmd->callback([o, &status] {
        if (o->folder) {
            if (const platform::Outcome entered = platform::ChangeCurrentFolder(*o->folder); !entered) {
                Warn("verify", *o->folder + ": " + entered.failure().text);
                status = kUsage;
                return;
            }
        }
        status = VerifyRun(*o).Run();
    });
}

}  // namespace ondrel::tool
