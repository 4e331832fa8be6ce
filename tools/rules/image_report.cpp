// ondrel inspect: the report of one file.
#include "tools/rules/image_report.h"

#include "checks/check_list.h"
#include "checks/rules.h"
#include "tools/rules/make_list.h"

namespace ondrel::tool {

platform::Result<InspectReport, platform::Reason> BuildInspectReport(const std::string& fileName) {
    InspectReport report;
    report.file = fileName;
    report.facts = ProbeFile(fileName, kOpen | kImage | kSectionDigests | kResources | kResourceDigests);
    if (!report.facts.opened) return platform::Reason{report.facts.whyNotOpened};
    for (const Keyword& k : LibraryKeywords()) {
        if (k.form != ValueForm::Computed || !k.compute || (k.ReadsImage() && !report.facts.pe)) continue;
        if ((k.reads & kReadsEntrySize) && HasWildcard(fileName)) {
            report.notes.push_back(std::string(k.name) + ": the name holds \"*\" or \"?\", which the size rules read "
                                   "as wildcards");
            continue;
        }
        if (const platform::Result<std::string, platform::Reason> value = ComputedValue(fileName, k, {}))
            report.rules.push_back(k.Entry({}, *value));
        else
            report.notes.push_back(std::string(k.name) + ": " + value.failure().text);
    }
    return report;
}

std::optional<std::string> SectionEntry(const SectionFacts& s) {
    if (!s.whyNoRule.empty()) return std::nullopt;
    return QuoteEntry(LibraryKeyword("SSECMD5")->Entry({s.name}, s.digest));
}

std::optional<std::string> ResourceEntry(const ResourceFacts& r) {
    if (!r.whyNoRule.empty() || !r.digest) return std::nullopt;
    return QuoteEntry(LibraryKeyword("RESMD5")->Entry({r.typeText, r.nameText}, *r.digest));
}

}  // namespace ondrel::tool
