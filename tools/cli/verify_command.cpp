// ondrel verify LIST...: every file of the manifests checked on all cores,
// the results in manifest order as the files are done.
#include <chrono>
#include <filesystem>
#include <memory>

#include <CLI/CLI.hpp>

#include "platform/file.h"
#include "platform/prefault.h"
#include "tools/cli/commands.h"
#include "tools/batch/in_order.h"
#include "tools/manifest/manifest.h"
#include "tools/cli/output.h"
#include "platform/command_services.h"
#include "tools/manifest/text_file.h"
#include "tools/manifest/verify.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

struct VerifyOptions {
    std::vector<std::string> lists;
    std::string root;  // --root, -C: where relative paths start instead
    bool quiet = false;
    bool json = false;
    bool verbose = false;
    bool ignoreMissing = false;
    unsigned jobs = 0;
};

struct LoadedList {
    std::string name;
    std::string folder;  // where "#root-from-list" starts; empty: the current folder
    ManifestLines lines;
    std::size_t held = 0, failed = 0, missing = 0, damaged = 0;
    json damagedLines = json::array();
};

struct Item {
    LoadedList* list;
    const ManifestLine* line;
    std::string path;  // as tried
};

// The folder a list lies in: of the file a link leads to; none for a pipe.
std::string FolderOfList(const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code e;
    if (name == "-") return {};
    if (!fs::is_symlink(fs::path(name), e)) return FolderOf(name);
    const fs::path real = fs::canonical(fs::path(name), e);
    return e || !fs::is_regular_file(real, e) ? std::string() : FolderOf(real.string());
}

std::string Shown(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

class VerifyRun {
public:
    explicit VerifyRun(const VerifyOptions& o) : o_(o), bar_(!o.quiet && !o.json && platform::StandardErrorIsTerminal()) {}
    int Run();

private:
    void Load(const std::string& name);
    void Damaged(LoadedList& list, const ManifestLine& line);
    void Emit(const Item& item, const FileVerdict& v);
    void EmitText(const Item& item, const FileVerdict& v);
    json FileJson(const Item& item, const FileVerdict& v) const;
    void Progress(std::size_t done);
    int Summarise();

    const VerifyOptions& o_;
    const bool bar_;
    std::vector<std::unique_ptr<LoadedList>> lists_;
    platform::BulkVector<Item> items_;
    std::optional<JsonWriter> json_;
    std::chrono::steady_clock::time_point drawn_;  // when the bar was last drawn
    int status_ = kHolds;
};

void VerifyRun::Load(const std::string& name) {
    const platform::Result<std::string, platform::Reason> text = ReadText(name, "manifest");
    if (!text) {
        Warn("verify", name + ": " + text.failure().text);
        status_ = kUsage;
        return;
    }
    auto list = std::make_unique<LoadedList>();
    list->name = name;
    list->folder = FolderOfList(name);
    list->lines = ParseManifest(*text);
    const std::optional<std::string> root = o_.root.empty() ? std::nullopt : std::optional(o_.root);
    platform::ReservePresent(items_, items_.size() + list->lines.size());
    for (const ManifestLine& line : list->lines) {
        if (!line.damage.empty()) Damaged(*list, line);
        else items_.push_back({list.get(), &line, PathToCheck(line, list->folder, root)});
    }
    if (list->lines.empty()) {
        Warn("verify", name + ": no file listed");
        if (status_ == kHolds) status_ = kFails;
    }
    lists_.push_back(std::move(list));
}

void VerifyRun::Damaged(LoadedList& list, const ManifestLine& line) {
    ++list.damaged;
    list.damagedLines.push_back({{"line", line.number}, {"damage", line.damage}});
    if (!o_.quiet && !o_.json) Warn("verify", list.name + ":" + std::to_string(line.number) + ": damaged line: " + line.damage);
}

json VerifyRun::FileJson(const Item& item, const FileVerdict& v) const {
    const char* verdict = v.verdict == Verdict::Held ? "held" : v.verdict == Verdict::Failed ? "failed" : "missing";
    auto nullable = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
    return {{"manifest", item.list->name}, {"line", item.line->number}, {"path", item.line->path},
            {"tried", item.path}, {"verdict", verdict}, {"entry", nullable(v.failedEntry)},
            {"computed", nullable(v.computed)}, {"reason", nullable(v.reason)}};
}

void VerifyRun::EmitText(const Item& item, const FileVerdict& v) {
    std::string line = Shown(item.path);
    if (v.verdict == Verdict::Held) line += ": OK";
    else if (v.verdict == Verdict::Missing) line += ": MISSING (" + v.reason + ")";
    else if (v.failedEntry.empty()) line += ": FAILED (" + v.reason + ")";
    else line += ": FAILED at " + v.failedEntry + " (" + (v.reason.empty() ? "computed " + v.computed : v.reason) + ")";
    if (bar_) std::fputs("\r\033[K", stderr);
    out::Line(line);
}

void VerifyRun::Emit(const Item& item, const FileVerdict& v) {
    LoadedList& list = *item.list;
    const bool missing = v.verdict == Verdict::Missing;
    (v.verdict == Verdict::Held ? list.held : missing ? list.missing : list.failed)++;
    const bool shown = v.verdict != Verdict::Held ? !(missing && o_.ignoreMissing) : o_.verbose;
    if (!shown || o_.quiet) return;
    if (json_) json_->Element(FileJson(item, v));
    else EmitText(item, v);
}

void VerifyRun::Progress(std::size_t done) {
    out::Flush();
    if (!bar_ || items_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < items_.size() && now - drawn_ < std::chrono::milliseconds(100)) return;
    drawn_ = now;
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(done * kWidth / items_.size());
    std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "########################################", kWidth - filled,
                 "", done, items_.size());
    if (done == items_.size()) std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

int VerifyRun::Summarise() {
    json manifests = json::array();
    for (const auto& l : lists_) {
        const bool noneVerified = o_.ignoreMissing && l->missing > 0 && l->held + l->failed == 0;
        if (noneVerified) Warn("verify", l->name + ": no file was verified");
        if (l->failed || l->damaged || noneVerified || (l->missing && !o_.ignoreMissing))
            if (status_ == kHolds) status_ = kFails;
        manifests.push_back({{"manifest", l->name}, {"held", l->held}, {"failed", l->failed}, {"missing", l->missing},
                             {"damaged", l->damaged}, {"damagedLines", l->damagedLines}});
        if (o_.quiet || o_.json || l->lines.empty()) continue;
        std::string line = (lists_.size() > 1 ? l->name + ": " : "") + std::to_string(l->held) + " held, " +
                           std::to_string(l->failed) + " failed, " + std::to_string(l->missing) + " missing" +
                           (o_.ignoreMissing && l->missing ? " (ignored)" : "");
        if (l->damaged) line += ", " + std::to_string(l->damaged) + " damaged line" + (l->damaged == 1 ? "" : "s");
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
    for (const std::string& name : o_.lists) Load(name);
    if (o_.json) {
        json_.emplace();
        json_->BeginArray("files");
    }
    RunFilesInOrder<FileVerdict>(
        items_.size(), o_.jobs ? o_.jobs : platform::Cores(),
        [&](std::size_t i) { return ReadPlan{&items_[i].path, NeedsOf(items_[i].line->checkList)}; },
        [&](std::size_t i, const FileRead* read) { return VerifyFile(items_[i].path, items_[i].line->checkList, read); },
        [&](std::size_t i, FileVerdict& v) { Emit(items_[i], v); }, [&](std::size_t done) { Progress(done); },
        [](const std::string& note) { Warn("verify", note); });
    return Summarise();
}

constexpr const char* kPathRule =
    "Where paths start: a relative path of a manifest is taken from its root. --root DIR (-C DIR) names the root; "
    "otherwise the last line \"#root<TAB>DIR\" before it does, DIR from the current folder (make writes the DIR "
    "it walked), or \"#root-from-list<TAB>DIR\", DIR from the manifest's own folder (make writes it when the "
    "manifest goes inside the tree it describes, which then leaves itself out); without either, the current "
    "folder. A manifest read from standard input (-) has the current folder as its own.";

}  // namespace

void SetupVerify(CLI::App& app, int& status) {
    auto o = std::make_shared<VerifyOptions>();
    CLI::App* cmd = app.add_subcommand(
        "verify", "Checks every file of the manifests LIST... on all cores and prints, in manifest order as they "
                  "are done, a line for each file that FAILED (the first entry that failed and what it computed, "
                  "or why) or is MISSING (the path tried, and why), and with -v for each that held (OK); then a "
                  "summary \"N held, M failed, K missing\" on standard error.");
    cmd->add_option("LIST", o->lists, "manifests, as made by ondrel make; - for standard input")->required()->type_name("");
    CLI::Option* quiet = cmd->add_flag("-q,--quiet", o->quiet, "print nothing; the exit status tells");
    CLI::Option* asJson = cmd->add_flag("--json", o->json, "print one JSON object: the files as -v shows them, and "
                                                         "each manifest's counts");
    asJson->excludes(quiet);
    cmd->add_flag("-v,--verbose", o->verbose, "also print a line for each file that held")->excludes(quiet);
    cmd->add_flag("--ignore-missing", o->ignoreMissing, "say nothing of missing files, nor fail for them");
    cmd->add_option("-C,--root", o->root, "take relative paths from DIR")->type_name("DIR");
    cmd->add_option("-j,--jobs", o->jobs, "files to check at once (default: one per core)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u).description(""));
    cmd->footer(std::string(kPathRule) +
                "\nExit status: 0 every file held; 1 a file failed or is missing, a line is damaged, or a "
                "manifest lists no file (or, with --ignore-missing, no file was there); 2 a usage error, a "
                "manifest that cannot be read, or a failed write.");
    cmd->callback([o, &status] { status = VerifyRun(*o).Run(); });
}

}  // namespace ondrel::tool
