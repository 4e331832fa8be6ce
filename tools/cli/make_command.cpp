// ondrel make FILE... | --manifest DIR: check lists that identify files.
#include <memory>

#include <CLI/CLI.hpp>

#include "tools/cli/commands.h"
#include "tools/batch/in_order.h"
#include "tools/cli/make_against.h"
#include "tools/rules/make_list.h"
#include "tools/manifest/manifest.h"
#include "tools/cli/output.h"
#include "platform/command_services.h"
#include "tools/manifest/list_place.h"
#include "tools/manifest/tree_walk.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

struct MakeOptions {
    std::vector<std::string> files;
    std::string dir;
    std::vector<std::string> rules;  // none given: "default", or the whole-file sets for --manifest
    bool json = false;
    bool lines = false;  // --lines: manifest lines whatever the number of FILEs
    unsigned jobs = 0;
    MakeAgainstOptions against;  // --catalog, --against, --against-catalog, --explain
};

// What is made: the files as they come (from the walk or the command
// line), the root line, and the status so far.
struct MakePlan {
    std::function<bool(WalkedFile&)> next;
    std::optional<std::size_t> count;  // of the files, when known before
    std::string tree;                  // the folder walked; empty for FILEs
    std::optional<ManifestRoot> root;
    bool bare = false;  // one FILE: its check list alone, as 1.0 printed it
    json issues = json::array();
    int status = kHolds;
};

void Issue(MakePlan& plan, const std::string& path, const std::string& what, bool fails) {
    Warn("make", ShownName(path) + ": " + what);
    plan.issues.push_back({{"path", path}, {"issue", what}});
    if (fails) plan.status = kFails;
}

// The files under DIR as the walk meets them; what it cannot walk is said
// as it is met. The root line says where the paths start: from the list's
// folder when the list goes into the tree, known before the walk ("." at
// the top, "..", "../.." below). The list itself is left out wherever the
// walk meets it, also under a second name of it when it was written to
// another (the root line then names DIR).
class TreeFiles {
public:
    TreeFiles(const std::string& dir, MakePlan& plan)
        : list_(dir), walk_(dir, [&plan](const WalkIssue& i) { Issue(plan, i.path, i.what, i.fails); }) {
        plan.tree = dir;
        if (list_.Place()) plan.root = ManifestRoot{ManifestRoot::From::ListFolder, list_.Place()->up};
        else plan.root = ManifestRoot{ManifestRoot::From::CurrentFolder, dir};
    }
    bool operator()(WalkedFile& f) {
        while (walk_.Next(f))
            if (!list_.Is(f)) return true;
        return false;
    }

private:
    const OwnList list_;
    TreeWalk walk_;
};

void PlanFiles(MakePlan& plan, const std::vector<std::string>& files, bool asJson, bool lines) {
    plan.next = [&files, i = std::size_t{0}](WalkedFile& f) mutable {
        if (i == files.size()) return false;
        f = {files[i], PortablePath(files[i])};
        ++i;
        return true;
    };
    plan.count = files.size();
    plan.bare = files.size() == 1 && !asJson && !lines;
}

// The lines of one file, written as it is its turn.
void EmitText(MakePlan& plan, const WalkedFile& f, const MadeList& made) {
    for (const std::string& left : made.leftOut) Warn("make", ShownName(f.path) + ": left out " + left);
    if (!made.problem.empty()) {
        Issue(plan, f.path, made.problem, true);
        return;
    }
    out::Line(plan.bare ? made.checkList : EscapeField(made.checkList) + "\t" + EscapeField(f.relative));
}

void EmitJson(MakePlan& plan, JsonWriter& w, const WalkedFile& f, const MadeList& made) {
    for (const std::string& left : made.leftOut) Warn("make", ShownName(f.path) + ": left out " + left);
    if (!made.problem.empty()) Issue(plan, f.path, made.problem, true);
    w.Element({{"path", f.relative},
               {"checkList", made.problem.empty() ? json(made.checkList) : json(nullptr)},
               {"leftOut", made.leftOut},
               {"problem", made.problem.empty() ? json(nullptr) : json(made.problem)}});
}

int Make(MakePlan& plan, const RuleChoice& rules, const MakeOptions& o) {
    std::optional<JsonWriter> w;
    if (o.json) {
        w.emplace();
        w->Member("root", plan.root ? json(PortablePath(plan.root->dir)) : json(nullptr));
        w->Member("rootFrom", !plan.root ? json(nullptr)
                              : json(plan.root->from == ManifestRoot::From::ListFolder ? "list" : "current folder"));
        w->BeginArray("files");
    } else if (!plan.bare) {
        out::Line(ManifestHeader());
        if (plan.root) out::Line(RootLine(*plan.root));
    }
    const ReadNeeds needs = NeedsOf(rules);
    ProgressLine progress(!o.json);
    std::size_t made = 0;
    StreamFilesInOrder<WalkedFile, MadeList>(
        o.jobs ? o.jobs : platform::Cores(), ToolWindow(), plan.next,
        [&](const WalkedFile& f) { return ReadPlan{&f.path, needs}; },
        [&](const WalkedFile& f, const FileRead* read) { return MakeCheckList(f.path, rules, read); },
        [&](WalkedFile& f, MadeList& list) {
            ++made;
            if (w) EmitJson(plan, *w, f, list);
            else EmitText(plan, f, list);
        },
        [&](std::size_t done) {
            out::Flush();
            progress.Show([&] {
                return "ondrel make: " + std::to_string(done) +
                       (plan.count ? " of " + std::to_string(*plan.count) + " files" : " files, walking");
            });
        },
        [](const std::string& note) { Warn("make", note); });
    progress.End();
    if (!plan.tree.empty() && made == 0) Issue(plan, plan.tree, "no regular file under it", true);
    if (w) {
        w->EndArray();
        w->Member("issues", plan.issues);
        w->End();
    }
    return plan.status;
}

std::vector<std::string> SplitSets(const std::vector<std::string>& rules) {
    std::vector<std::string> names;
    for (const std::string& r : rules) {  // "--rules md5,size" as well as "--rules md5 --rules size"
        std::size_t start = 0;
        for (std::size_t comma; (comma = r.find(',', start)) != std::string::npos; start = comma + 1)
            if (comma > start) names.push_back(r.substr(start, comma - start));
        if (start < r.size()) names.push_back(r.substr(start));
    }
    return names;
}

// A manifest is for finding changed files: the whole-file rules, which read
// each byte once, tell that as well as the section rules would.
const std::vector<std::string> kManifestRules{"filesize,crc32,md5"};

int RunMake(const MakeOptions& o) {
    const std::vector<std::string>& sets = !o.rules.empty() ? o.rules
                                           : o.dir.empty()   ? std::vector<std::string>{"default"}
                                                             : kManifestRules;
    const platform::Result<RuleChoice, platform::Reason> rules = ParseRuleSets(SplitSets(sets));
    if (!rules) {
        Warn("make", rules.failure().text);
        return kUsage;
    }
    if (o.lines && (!o.against.catalogName.empty() || !o.against.against.empty() || !o.against.againstCatalog.empty())) {
        Warn("make", "--lines goes with FILE... alone");
        return kUsage;
    }
    if (std::optional<int> status = RunMakeAgainst(o.against, o.files, *rules, o.json)) return *status;
    if (o.files.empty() == o.dir.empty()) {
        Warn("make", "give FILE... or --manifest DIR");
        return kUsage;
    }
    if (!o.dir.empty() && !platform::IsFolder(o.dir)) {
        Warn("make", o.dir + ": not a folder");
        return kUsage;
    }
    MakePlan plan;
    std::optional<TreeFiles> tree;
    if (o.dir.empty()) {
        PlanFiles(plan, o.files, o.json, o.lines);
    } else {
        tree.emplace(o.dir, plan);
        plan.next = [&tree](WalkedFile& f) { return (*tree)(f); };
    }
    return Make(plan, *rules, o);
}

std::string RuleSetHelp() {
    std::string help = "Rule sets for --rules (comma-separated, or --rules repeated):\n";
    for (const RuleSetInfo& r : RuleSets()) {
        help += "  " + r.name;
        help.append(r.name.size() < 10 ? 10 - r.name.size() : 1, ' ');
        help += r.help + "\n";
    }
    return help;
}

}  // namespace

void SetupMake(CLI::App& app, int& status) {
    auto o = std::make_shared<MakeOptions>();
    CLI::App* cmd = app.add_subcommand(
        "make", "Prints a check list that identifies FILE. One FILE alone gives its check list alone; two or "
                "more FILEs, --lines, or --manifest (every regular file under DIR) give a manifest: one line per "
                "file, the check list, a TAB, the path. Scripts whose FILEs may be one or many give --lines.");
    CLI::Option* files = cmd->add_option("FILE", o->files, "the known-good files")->type_name("");
    CLI::Option* dir = cmd->add_option("--manifest", o->dir, "a manifest of every regular file under DIR")
                           ->type_name("DIR");
    files->excludes(dir);
    CLI::Option* lines =
        cmd->add_flag("--lines", o->lines, "print manifest lines (check list, TAB, path) even for one FILE");
    lines->excludes(dir);
    CLI::Option* rules = cmd->add_option("--rules", o->rules,
                                         "the rule sets to write (default: default; with --manifest: "
                                         "filesize,crc32,md5)")
        ->type_name("SET[,SET...]")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::Option* asJson =
        cmd->add_flag("--json", o->json, "print one JSON object: the root, each file with its check list, the issues");
    cmd->add_option("-j,--jobs", o->jobs, "files to make at once (default: one per core)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u).description(""));
    AddMakeAgainstOptions(*cmd, o->against, dir, asJson, rules);
    cmd->footer(RuleSetHelp() + MakeAgainstHelp() +
                "Only entries that hold when the engine checks them are written; those left out are named on "
                "standard error, and so is every file or folder that could not be read, every link that leads "
                "to nothing and every name the ANSI code page cannot hold (the walk goes on).\n"
                "A manifest starts with a line saying where its paths start (see ondrel verify --help).\n"
                "Exit status: 0 every file was made, 1 a file or folder was left out, or no list tells FILE "
                "from the other files, 2 a usage error or a failed write.");
    cmd->callback([o, &status] { status = RunMake(*o); });
}

}  // namespace ondrel::tool
