// ondrel make: a check list that identifies a file. Rules whose value is
// what they compute are written generically from the keyword table; the
// rules that take arguments (a range, a section or resource name) each have
// a writer here.
#include "tools/rules/make_list.h"

#include <algorithm>
#include <unordered_set>

#include "checks/engine.h"
#include "checks/resource_rules.h"
#include "checks/rules.h"
#include "checksums/hex.h"
#include "tools/rules/file_facts.h"

namespace ondrel::tool {

namespace {

constexpr std::uint64_t kRangeBytes = 65536;

struct Candidate {
    std::string entry;  // empty when the rule cannot be written
    std::string what;   // what it describes, with why when it is left out
};

struct Making {
    const std::string& file;
    const FileFacts& facts;
    const KnownDigests* known;  // from the caller's read of the file, or nothing
    std::vector<Candidate> candidates;
    std::vector<std::string> leftOut;
};

class Recorder : public EvaluationObserver {
public:
    void OnEntry(const CheckListItem&, std::string_view, const RuleTrace&, Outcome outcome) override {
        outcomes.push_back(outcome);
    }
    void OnResult(bool) override {}
    std::vector<Outcome> outcomes;
};

// The row of a keyword the writers below name.
const Keyword& Row(std::string_view name) { return *LibraryKeyword(name); }

void AddComputed(Making& m, const Keyword& row, const RuleArguments& arguments, const std::string& what) {
    const platform::Result<std::string, platform::Reason> value = ComputedValue(m.file, row, arguments, m.known);
    if (value) m.candidates.push_back({row.Entry(arguments, *value), what});
    else m.candidates.push_back({{}, what + ": the rule cannot compute it (" + value.failure().text + ")"});
}

bool SizeRulesFit(Making& m, std::string_view keyword) {
    if (!HasWildcard(m.file)) return true;
    m.leftOut.push_back(std::string(keyword) + ": the name holds \"*\" or \"?\", which the directory search reads "
                        "as wildcards, so the rule would measure another file");
    return false;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void WriteEnd(Making& m) {
    const std::uint64_t range = std::min<std::uint64_t>(m.facts.size, kRangeBytes);
    if (range > 0 && SizeRulesFit(m, "ENDMD5")) AddComputed(m, Row("ENDMD5"), {std::to_string(range)}, "ENDMD5");
}

void WriteRange(Making& m) {
    const std::uint64_t range = std::min<std::uint64_t>(m.facts.size, kRangeBytes);
    if (range > 0) AddComputed(m, Row("SIZEMD5"), {"0", std::to_string(range - 1)}, "SIZEMD5");
}

void AddSection(Making& m, const SectionFacts& s) {
    const std::string what = "SSECMD5 of section " + Quoted(s.name);
    if (!s.whyNoRule.empty()) m.candidates.push_back({{}, what + ": " + s.whyNoRule});
    else m.candidates.push_back({Row("SSECMD5").Entry({s.name}, s.digest), what});
}

void WriteCode(Making& m) {
    const std::vector<SectionFacts>& all = m.facts.sections;
    auto code = std::find_if(all.begin(), all.end(), [](const SectionFacts& s) { return s.code && s.sizeOfRawData > 0; });
    if (code == all.end())
        code = std::find_if(all.begin(), all.end(), [](const SectionFacts& s) { return s.sizeOfRawData > 0; });
    if (code != all.end()) AddSection(m, *code);
}

void WriteSections(Making& m) {
    for (const SectionFacts& s : m.facts.sections)
        if (!s.laterSameName) AddSection(m, s);  // the rule names the last section of a name
}

std::string ResourceWhat(const ResourceFacts& r) {
    return "resource " + Quoted(r.typeText) + " " + Quoted(r.nameText) + (r.whyNoRule.empty() ? "" : ": " + r.whyNoRule);
}

void AddResource(Making& m, const ResourceFacts& r) {
    const std::string what = "RESMD5 of " + ResourceWhat(r);
    if (!r.whyNoRule.empty() || !r.digest) m.candidates.push_back({{}, r.digest ? what : what + " (not found)"});
    else m.candidates.push_back({Row("RESMD5").Entry({r.typeText, r.nameText}, *r.digest), what});
}

const ResourceFacts* FirstOfType(const FileFacts& facts, std::uint16_t type) {
    for (const ResourceFacts& r : facts.resources)
        if (r.typeId == type) return &r;
    return nullptr;
}

void WriteIcon(Making& m) {
    const ResourceFacts* icon = FirstOfType(m.facts, kResourceGroupIcon);
    if (!icon) return;
    const std::string what = "ICONMD5 of " + ResourceWhat(*icon);
    if (icon->whyNoRule.empty() && icon->nameText.find('-') != std::string::npos)
        m.candidates.push_back({{}, what + ": its name holds a \"-\", which ends the name in the rule"});
    else if (icon->whyNoRule.empty() && icon->digest)
        m.candidates.push_back({Row("ICONMD5").Entry({icon->nameText}, *icon->digest), what});
    else
        m.candidates.push_back({{}, what});
}

void WriteVersion(Making& m) {
    if (const ResourceFacts* version = FirstOfType(m.facts, kResourceVersion)) AddResource(m, *version);
}

void WriteResources(Making& m) {
    for (const ResourceFacts& r : m.facts.resources) AddResource(m, r);
}

// The writers of rules that take arguments, in the order they are written.
struct ArgumentWriter {
    std::string_view name;
    std::string_view help;
    unsigned facts;  // what ProbeFile must find out
    void (*write)(Making&);
    bool image;      // for PE images only
};
constexpr ArgumentWriter kArgumentWriters[] = {
    {"end", "ENDMD5 of the last 64 KiB (or the whole file when smaller)", kOpen, WriteEnd, false},
    {"range", "SIZEMD5 of the first 64 KiB (or the whole file when smaller)", kOpen, WriteRange, false},
    {"code", "SSECMD5 of the code section", kImage | kSectionDigests, WriteCode, true},
    {"sections", "SSECMD5 of each section", kImage | kSectionDigests, WriteSections, true},
    {"icon", "ICONMD5 of the main icon group (the first RT_GROUP_ICON)", kResources | kResourceDigests, WriteIcon, true},
    {"version", "RESMD5 of the version resource", kResources | kResourceDigests, WriteVersion, true},
    {"resources", "RESMD5 of each resource", kResources | kResourceDigests, WriteResources, true},
};

std::string LowerName(const Keyword& k) {
    std::string name(k.name);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

// Asked for every keyword of every file: the library's names are made once.
std::string SetName(const Keyword& k) {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const Keyword& each : LibraryKeywords()) all.push_back(LowerName(each));
        return all;
    }();
    const std::span<const Keyword> library = LibraryKeywords();
    if (&k >= library.data() && &k < library.data() + library.size())
        return names[static_cast<std::size_t>(&k - library.data())];
    return LowerName(k);
}

bool Computable(const Keyword& k) { return k.form == ValueForm::Computed && k.compute; }

// Checks every candidate with the engine, one evaluation for all of them
// unless one fails (which stops it): then again from the entry after it.
std::vector<bool> HoldWhenChecked(const std::string& fileName, const std::vector<std::string>& quoted,
                                  const KnownDigests* known) {
    std::vector<bool> holds(quoted.size(), false);
    for (std::size_t from = 0; from < quoted.size();) {
        std::string list;
        for (std::size_t i = from; i < quoted.size(); ++i) list += (i > from ? "," : "") + quoted[i];
        Recorder r;
        Evaluate(fileName.c_str(), list.c_str(), LibraryKeywords(), nullptr, &r, known);
        std::size_t i = 0;
        for (; i < r.outcomes.size() && r.outcomes[i] != Outcome::NotEvaluated; ++i)
            holds[from + i] = r.outcomes[i] == Outcome::Held;
        from += std::max<std::size_t>(i, 1);
    }
    return holds;
}

void Keep(Making& m, MadeList& made) {
    std::vector<std::string> quoted;
    quoted.reserve(m.candidates.size());  // never moved: `seen` looks into it
    std::unordered_set<std::string_view> seen;  // an image may give 100,000 resources
    std::vector<const Candidate*> sources;
    for (const Candidate& c : m.candidates) {
        if (c.entry.empty()) {
            made.leftOut.push_back(c.what);
            continue;
        }
        std::string q = QuoteEntry(c.entry);
        if (seen.count(q)) continue;
        quoted.push_back(std::move(q));
        seen.insert(quoted.back());
        sources.push_back(&c);
    }
    const std::vector<bool> holds = HoldWhenChecked(m.file, quoted, m.known);
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (holds[i]) made.checkList += (made.checkList.empty() ? "" : ",") + quoted[i];
        else made.leftOut.push_back(sources[i]->what + ": " + sources[i]->entry + " does not hold when checked");
    }
}

}  // namespace

platform::Result<std::string, platform::Reason> ComputedValue(const std::string& fileName, const Keyword& row,
                                                              const RuleArguments& arguments,
                                                              const KnownDigests* known) {
    std::string why;
    std::optional<std::string> text = ComputeEntryText(row, RuleContext{fileName, nullptr, known}, arguments, why);
    if (!text) return platform::Reason{std::move(why)};
    return std::move(*text);
}

std::vector<RuleSetInfo> RuleSets() {
    std::vector<RuleSetInfo> sets = {
        {"default", "FILESIZE, CRC32, MD5; for PE images also SECMD5 and the code section's SSECMD5"},
        {"all", "every set below"},
    };
    for (const Keyword& k : LibraryKeywords())
        if (Computable(k))
            sets.push_back({SetName(k), std::string(k.name) + (k.ReadsImage() ? " (PE images)" : "") +
                                            (k.family == RuleFamily::FileSize ? "; also \"size\"" : "")});
    for (const ArgumentWriter& w : kArgumentWriters) sets.push_back({std::string(w.name), std::string(w.help)});
    return sets;
}

platform::Result<RuleChoice, platform::Reason> ParseRuleSets(const std::vector<std::string>& names) {
    const std::vector<RuleSetInfo> sets = RuleSets();
    RuleChoice choice;
    for (const std::string& name : names) {
        if (name == "all") {
            for (std::size_t i = 2; i < sets.size(); ++i) choice.insert(sets[i].name);
        } else if (name == "default") {
            choice.insert({"filesize", "crc32", "md5", "secmd5", "code"});
        } else if (name == "size") {
            choice.insert("filesize");
        } else if (std::any_of(sets.begin() + 2, sets.end(), [&](const RuleSetInfo& s) { return s.name == name; })) {
            choice.insert(name);
        } else {
            return platform::Reason{"unknown rule set \"" + name + "\" (ondrel make --help lists them)"};
        }
    }
    return choice;
}

ReadNeeds NeedsOf(const RuleChoice& rules) {
    ReadNeeds needs;
    for (const Keyword& k : LibraryKeywords())
        if (Computable(k) && rules.count(SetName(k))) needs.Add(k);
    // The writers read ranges or the image: the bytes are kept for them.
    for (const ArgumentWriter& w : kArgumentWriters)
        if (rules.count(std::string(w.name))) needs.bytes = true;
    return needs;
}

MadeList MakeCheckList(const std::string& fileName, const RuleChoice& rules, const FileRead* read) {
    const KnownDigests known = read ? read->Known() : KnownDigests{};
    unsigned wanted = kOpen;
    for (const Keyword& k : LibraryKeywords())
        if (rules.count(SetName(k)) && k.ReadsImage()) wanted |= kImage;
    for (const ArgumentWriter& w : kArgumentWriters)
        if (rules.count(std::string(w.name))) wanted |= w.facts;
    FileFacts facts;
    if (read && wanted == kOpen) {  // opened already, as a regular file
        facts.opened = true;
        facts.size = read->identity.size;
    } else {
        facts = ProbeFile(fileName, wanted, read && read->bytes ? &*read->bytes : nullptr);
    }
    MadeList made;
    if (!facts.opened) {
        made.problem = facts.whyNotOpened;
        return made;
    }
    Making m{fileName, facts, read ? &known : nullptr, {}, {}};
    for (const Keyword& k : LibraryKeywords()) {
        if (!Computable(k) || !rules.count(SetName(k)) || (k.ReadsImage() && !facts.pe)) continue;
        if (!(k.reads & kReadsEntrySize) || SizeRulesFit(m, k.name)) AddComputed(m, k, {}, std::string(k.name));
    }
    for (const ArgumentWriter& w : kArgumentWriters)
        if (rules.count(std::string(w.name)) && (!w.image || facts.pe)) w.write(m);
    made.leftOut = std::move(m.leftOut);
    Keep(m, made);
    if (!made.checkList.empty()) return made;
    // Only rules that look into images were chosen, and this is none.
    if ((wanted & kImage) && !facts.pe)
        made.problem = "not a PE image" + (facts.whyNotPe.empty() ? std::string() : " (" + facts.whyNotPe + ")") +
                       ": the rule sets chosen describe PE images only";
    else
        made.problem = "no rule holds";
    return made;
}

}  // namespace ondrel::tool
