// ondrel inspect FILE: the report of one file, as text or as JSON.
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "tools/cli/commands.h"
#include "tools/rules/image_report.h"
#include "tools/cli/output.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

struct InspectOptions {
    std::string file;
    bool json = false;
};

std::string Hex(std::uint32_t v, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, v);
    return text;
}

json OrNull(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

json SectionJson(const SectionFacts& s) {
    return {{"name", s.name}, {"rawPointer", s.pointerToRawData}, {"rawSize", s.sizeOfRawData}, {"code", s.code},
            {"rule", OrNull(SectionEntry(s))}, {"whyNoRule", s.whyNoRule.empty() ? json(nullptr) : json(s.whyNoRule)}};
}

json ResourceJson(const ResourceFacts& r) {
    const std::optional<std::string> rule = ResourceEntry(r);
    return {{"type", r.typeText}, {"name", r.nameText}, {"languages", r.languages}, {"size", r.size},
            {"value", rule ? json(*r.digest) : json(nullptr)},
            {"digestLanguage", rule && r.language ? json(*r.language) : json(nullptr)}, {"rule", OrNull(rule)},
            {"whyNoRule", r.whyNoRule.empty() ? json(nullptr) : json(r.whyNoRule)}};
}

void RenderJson(const InspectReport& r) {
    JsonWriter w;
    w.Member("file", r.file);
    w.Member("size", r.facts.size);
    w.Member("rules", r.rules);
    w.Member("notes", r.notes);
    w.Member("pe", r.facts.pe);
    if (!r.facts.pe) {
        w.Member("whyNotPe", r.facts.whyNotPe);
        w.End();
        return;
    }
    w.BeginArray("sections");
    for (const SectionFacts& s : r.facts.sections) w.Element(SectionJson(s));
    w.EndArray();
    w.BeginArray("resources");
    for (const ResourceFacts& res : r.facts.resources) w.Element(ResourceJson(res));
    w.EndArray();
    w.End();
}

void RenderSections(const InspectReport& r) {
    for (const SectionFacts& s : r.facts.sections) {
        const std::optional<std::string> rule = SectionEntry(s);
        out::Write("section \"" + s.name + "\": raw pointer 0x" + Hex(s.pointerToRawData, 8) + ", raw size " +
                   std::to_string(s.sizeOfRawData) + (s.code ? ", code" : "") + "\n    " +
                   (rule ? *rule : "(no SSECMD5 rule names it: " + s.whyNoRule + ")") + "\n");
    }
}

void RenderResources(const InspectReport& r) {
    for (const ResourceFacts& res : r.facts.resources) {
        std::string line = "resource " + res.typeText + " \"" + res.nameText + "\": languages";
        for (std::uint16_t l : res.languages) (line += ' ') += Hex(l, 4);
        const std::optional<std::string> rule = ResourceEntry(res);
        const std::string why = res.whyNoRule.empty() ? "the lookup finds no data" : res.whyNoRule;
        // The digest is of one language's data: the one the rule's lookup picks.
        std::string shown = rule ? *rule : "(no RESMD5 rule names it: " + why + ")";
        if (rule && res.language) shown += "  (language " + Hex(*res.language, 4) + ")";
        out::Write(line + ", " + std::to_string(res.size) + " bytes\n    " + shown + "\n");
    }
}

void RenderText(const InspectReport& r) {
    std::string head = "file:   " + r.file + "\nsize:   " + std::to_string(r.facts.size) + " bytes\n";
    for (const std::string& rule : r.rules) head += "rule:   " + rule + "\n";
    for (const std::string& note : r.notes) head += "note:   " + note + "\n";
    if (!r.facts.pe) head += "not a PE image: " + r.facts.whyNotPe + "\n";
    else head += "PE image, " + std::to_string(r.facts.sections.size()) + " sections\n";
    out::Write(head);
    if (!r.facts.pe) return;
    RenderSections(r);
    RenderResources(r);
}

int RunInspect(const InspectOptions& o) {
    const platform::Result<InspectReport, platform::Reason> report = BuildInspectReport(o.file);
    if (!report) {
        Warn("inspect", o.file + ": " + report.failure().text);
        return kFails;
    }
    if (o.json) RenderJson(*report);
    else RenderText(*report);
    return kHolds;
}

}  // namespace

void SetupInspect(CLI::App& app, int& status) {
    auto o = std::make_shared<InspectOptions>();
    CLI::App* cmd = app.add_subcommand(
        "inspect", "Shows FILE's size, each rule whose value is what it computes (as KEYWORD=value, such as MD5=...) "
                   "and, for a PE image, each section and resource with the entry to paste into a check list "
                   "(for a resource, with the language whose data its digest covers).");
    cmd->add_option("FILE", o->file, "the file to inspect")->required()->type_name("");
    cmd->add_flag("--json", o->json, "print one JSON object");
    cmd->footer("Exit status: 0 the file was inspected, 1 it cannot be read, 2 a usage error or a failed write.");
    cmd->callback([o, &status] { status = RunInspect(*o); });
}

}  // namespace ondrel::tool
