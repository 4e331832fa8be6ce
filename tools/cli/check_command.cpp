// ondrel check FILE CHECKLIST: the engine's evaluation, entry by entry.
#include <memory>

#include <CLI/CLI.hpp>

#include "checks/rules.h"
#include "tools/rules/check_report.h"
#include "tools/cli/commands.h"
#include "tools/cli/output.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

struct CheckOptions {
    std::string file;
    std::string checkList;
    bool quiet = false;
    bool json = false;
};

json Nullable(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

void PrintJson(const CheckOptions& o, const CheckReport& report) {
    json entries = json::array();
    for (const EntryReport& r : report.entries) {
        entries.push_back({{"entry", r.entry},
                           {"keyword", r.keyword ? json(std::string(r.keyword->name)) : json(nullptr)},
                           {"computed", r.computed ? json(*r.computed) : json(nullptr)},
                           {"outcome", OutcomeName(r.outcome)},
                           {"reason", Nullable(r.reason)},
                           {"notes", r.notes},
                           {"hints", r.hints}});
    }
    out::Line(JsonText({{"file", o.file}, {"checkList", o.checkList}, {"result", report.result}, {"entries", entries},
                              {"notes", report.notes}, {"hints", report.hints}}));
}

void PrintText(const CheckReport& report) {
    std::size_t index = 0;
    for (const EntryReport& r : report.entries) {
        std::string block = "[" + std::to_string(++index) + "] " + r.entry + "\n";
        if (r.keyword) block += "    keyword:  " + std::string(r.keyword->name) + "\n";
        if (r.computed) block += "    computed: " + *r.computed + "\n";
        block += "    outcome:  " + std::string(OutcomeName(r.outcome)) + "\n";
        if (!r.reason.empty()) block += "    reason:   " + r.reason + "\n";
        for (const std::string& n : r.notes) block += "    note:     " + n + "\n";
        for (const std::string& h : r.hints) block += "    hint:     " + h + "\n";
        out::Write(block);
    }
    for (const std::string& n : report.notes) out::Line("note: " + n);
    out::Line(report.result ? "result: 1 (holds)" : "result: 0 (does not hold)");
}

int RunCheckCommand(const CheckOptions& o) {
    if (o.quiet)  // no observer: the library's own reads, nothing more
        return Evaluate(o.file.c_str(), o.checkList.c_str(), LibraryKeywords(), nullptr) ? kHolds : kFails;
    const CheckReport report = RunCheck(o.file, o.checkList);
    // Hints on the arguments go to standard error, where a usage message would.
    for (const std::string& h : report.hints) Warn("check", "hint: " + h);
    if (o.json) PrintJson(o, report);
    else PrintText(report);
    return report.result ? kHolds : kFails;
}

}  // namespace

void SetupCheck(CLI::App& app, int& status) {
    auto o = std::make_shared<CheckOptions>();
    CLI::App* cmd = app.add_subcommand(
        "check", "Evaluates CHECKLIST against FILE and shows each entry: its keyword, what the rule computed, "
                 "its outcome, why a rule threw, notes where a rule held or failed on nothing, and hints.");
    cmd->add_option("FILE", o->file, "the file to check")->required()->type_name("");
    cmd->add_option("CHECKLIST", o->checkList, "the check list, for example \"FILESIZE>=4096,MD5=...\"")->required()->type_name("");
    CLI::Option* quiet = cmd->add_flag("-q,--quiet", o->quiet, "print nothing; the exit status tells");
    cmd->add_flag("--json", o->json, "print the entries as one JSON object")->excludes(quiet);
    cmd->footer("Exit status: 0 the check holds, 1 it does not, 2 a usage error or a failed write.");
    cmd->fallthrough();  // ondrel-check --version
    cmd->callback([o, &status] { status = RunCheckCommand(*o); });
}

}  // namespace ondrel::tool
