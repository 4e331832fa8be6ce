// ondrel make: a check list that identifies a file, written by the engine's
// own computations and kept only where the engine says it holds.
#include <algorithm>
#include <set>

#include "checks/resource_rules.h"
#include "tools/tool.h"

namespace ondrel::tool {

namespace {

constexpr RuleSetName kRuleSetNames[] = {
    {"default", kDefault, "FILESIZE, CRC32, MD5; for PE images also SECMD5 and the code section's SSECMD5"},
    {"all", kAll, "every rule below"},
    {"size", kSize, "FILESIZE"},
    {"crc32", kCrc32, "CRC32"},
    {"md5", kMd5, "MD5"},
    {"secsize", kSecSize, "SECSIZE"},
    {"secmd5", kSecMd5, "SECMD5"},
    {"code", kCode, "SSECMD5 of the code section"},
    {"sections", kSections, "SSECMD5 of each section"},
    {"icon", kIcon, "ICONMD5 of the main icon group"},
    {"version", kVersion, "RESMD5 of the version resource"},
    {"resources", kResources, "RESMD5 of each resource"},
    {"end", kEnd, "ENDMD5 of the last 64 KiB (or the whole file when smaller)"},
    {"range", kRange, "SIZEMD5 of the first 64 KiB (or the whole file when smaller)"},
};

constexpr std::uint64_t kRangeBytes = 65536;

class LastEntry : public EvaluationObserver {
public:
    void OnEntry(const CheckListItem&, std::string_view, const RuleTrace& trace, Outcome outcome) override {
        trace_ = trace;
        outcome_ = outcome;
    }
    void OnResult(bool) override {}
    RuleTrace trace_;
    Outcome outcome_ = Outcome::NotEvaluated;
};

// What the engine computes for the entry (its expected part left empty).
std::optional<std::string> Computed(const std::string& fileName, const std::string& entryWithoutExpected) {
    LastEntry last;
    const std::string list = QuoteEntry(entryWithoutExpected);
    Evaluate(fileName.c_str(), list.c_str(), LibraryKeywords(), nullptr, &last);
    if (last.outcome_ == Outcome::Threw || last.outcome_ == Outcome::Exhausted) return std::nullopt;
    return last.trace_.text;
}

bool HoldsAlone(const std::string& fileName, const std::string& quotedEntry) {
    return Evaluate(fileName.c_str(), quotedEntry.c_str(), LibraryKeywords(), nullptr);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::span<const RuleSetName> RuleSetNames() noexcept { return kRuleSetNames; }

std::optional<unsigned> ParseRuleSets(const std::vector<std::string>& names, std::string& bad) {
    unsigned set = 0;
    for (const std::string& name : names) {
        auto found = std::find_if(std::begin(kRuleSetNames), std::end(kRuleSetNames),
                                  [&](const RuleSetName& r) { return r.name == name; });
        if (found == std::end(kRuleSetNames)) {
            bad = name;
            return std::nullopt;
        }
        set |= found->set;
    }
    return set;
}

std::string SectionRule(const std::string& fileName, const SectionFacts& section) {
    if (section.name.empty() || section.name.find('-') != std::string::npos || section.sizeOfRawData == 0) return {};
    const std::string prefix = "SSECMD5=" + section.name + "-";
    std::optional<std::string> digest = Computed(fileName, prefix);
    if (!digest || digest->empty()) return {};
    return prefix + *digest;
}

std::string ResourceRule(const std::string& fileName, const ResourceFacts& resource) {
    if (!resource.whyNot.empty()) return {};
    const std::string prefix = "RESMD5=" + resource.typeText + "|" + resource.nameText + "|";
    std::optional<std::string> digest = Computed(fileName, prefix);
    if (!digest || digest->empty()) return {};
    return prefix + *digest;
}

MadeList MakeCheckList(const std::string& fileName, unsigned rules, const FileFacts& facts) {
    MadeList made;
    std::vector<std::string> entries;
    auto add = [&](const std::string& entry, const std::string& what) {
        if (entry.empty()) {
            made.leftOut.push_back(what);
            return;
        }
        const std::string quoted = QuoteEntry(entry);
        if (!HoldsAlone(fileName, quoted)) {
            made.leftOut.push_back(what + ": " + entry + " does not hold when checked");
            return;
        }
        if (std::find(entries.begin(), entries.end(), quoted) == entries.end()) entries.push_back(quoted);
    };
    auto simple = [&](const std::string& prefix, const std::string& what) {
        std::optional<std::string> value = Computed(fileName, prefix);
        add(value ? prefix + *value : std::string(), value ? what : what + ": the file cannot be read");
    };

    if (rules & kSize) simple("FILESIZE=", "FILESIZE");
    if (rules & kCrc32) simple("CRC32=", "CRC32");
    if (rules & kMd5) simple("MD5=", "MD5");
    const std::uint64_t range = std::min<std::uint64_t>(facts.size, kRangeBytes);
    if ((rules & kEnd) && range > 0) simple("ENDMD5=" + std::to_string(range) + "|", "ENDMD5");
    if ((rules & kRange) && range > 0) simple("SIZEMD5=0|" + std::to_string(range - 1) + "|", "SIZEMD5");

    if (facts.pe) {
        if (rules & kSecSize) simple("SECSIZE=", "SECSIZE");
        if (rules & kSecMd5) simple("SECMD5=", "SECMD5");
        auto sectionWhat = [](const SectionFacts& s) { return "SSECMD5 of section " + Quoted(s.name); };
        auto sectionWhyNot = [](const SectionFacts& s) -> std::string {
            if (s.name.empty()) return ": it has no name";
            if (s.name.find('-') != std::string::npos) return ": its name holds a \"-\", which ends the name in the rule";
            if (s.sizeOfRawData == 0) return ": it has no raw bytes";
            return {};
        };
        if ((rules & kCode) && !(rules & kSections)) {
            auto code = std::find_if(facts.sections.begin(), facts.sections.end(),
                                     [](const SectionFacts& s) { return s.code && s.sizeOfRawData > 0; });
            if (code == facts.sections.end())
                code = std::find_if(facts.sections.begin(), facts.sections.end(),
                                    [](const SectionFacts& s) { return s.sizeOfRawData > 0; });
            if (code != facts.sections.end()) {
                const std::string why = sectionWhyNot(*code);
                add(why.empty() ? SectionRule(fileName, *code) : std::string(), sectionWhat(*code) + why);
            }
        }
        if (rules & kSections) {
            std::set<std::string> seen;  // the rule names the last section of a name
            for (const SectionFacts& s : facts.sections) {
                if (!seen.insert(s.name).second) continue;
                const std::string why = sectionWhyNot(s);
                add(why.empty() ? SectionRule(fileName, s) : std::string(), sectionWhat(s) + why);
            }
        }
        auto resourceWhat = [](const ResourceFacts& r) {
            return "resource " + Quoted(r.typeText) + " " + Quoted(r.nameText) + (r.whyNot.empty() ? "" : ": " + r.whyNot);
        };
        if (rules & kIcon) {
            auto icon = std::find_if(facts.resources.begin(), facts.resources.end(),
                                     [](const ResourceFacts& r) { return r.typeId == kResourceGroupIcon; });
            if (icon != facts.resources.end()) {
                std::string entry;
                if (icon->whyNot.empty() && icon->nameText.find('-') == std::string::npos) {
                    const std::string prefix = "ICONMD5=" + icon->nameText + "-";
                    std::optional<std::string> digest = Computed(fileName, prefix);
                    if (digest && !digest->empty()) entry = prefix + *digest;
                }
                add(entry, "ICONMD5 of " + resourceWhat(*icon));
            }
        }
        if ((rules & kVersion) && !(rules & kResources)) {
            auto version = std::find_if(facts.resources.begin(), facts.resources.end(),
                                        [](const ResourceFacts& r) { return r.typeId == kResourceVersion; });
            if (version != facts.resources.end()) add(ResourceRule(fileName, *version), "RESMD5 of " + resourceWhat(*version));
        }
        if (rules & kResources)
            for (const ResourceFacts& r : facts.resources) add(ResourceRule(fileName, r), "RESMD5 of " + resourceWhat(r));
    }

    for (std::size_t i = 0; i < entries.size(); ++i) made.checkList += (i ? "," : "") + entries[i];
    return made;
}

}  // namespace ondrel::tool
