// ondrel check: the engine's trace, with the reasons for rules that threw,
// notes on rules that held or failed on nothing, and hints. The notes and
// hints follow from each rule's family and value form in the keyword table.
#include "tools/rules/check_report.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>

#include "checks/rules.h"
#include "checks/ascii.h"
#include "checksums/hex.h"
#include "platform/result.h"
#include "tools/rules/file_facts.h"

namespace ondrel::tool {

namespace {

constexpr std::string_view kNoBytesDigest = "D41D8CD98F00B204E9800998ECF8427E";
constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

class Collector : public EvaluationObserver {
public:
    explicit Collector(CheckReport& report) : report_(report) {}
    void OnEntry(const CheckListItem& item, std::string_view keyword, const RuleTrace& trace,
                 Outcome outcome) override {
        EntryReport r;
        r.entry = item.text;
        r.group = item.group;
        r.keyword = keyword.empty() ? nullptr : LibraryKeyword(keyword);
        r.computed = trace.text;
        r.outcome = outcome;
        r.reason = trace.reason;
        report_.entries.push_back(std::move(r));
    }
    void OnResult(bool result) override { report_.result = result; }

private:
    CheckReport& report_;
};

std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool NoteWorthy(const EntryReport& r) {
    return r.keyword && (r.outcome == Outcome::Held || r.outcome == Outcome::Failed);
}

// What the notes of a rule's family need to know of the file.
unsigned FactsFor(const Keyword& k) {
    switch (k.family) {
        case RuleFamily::FileSize: return kPresence | kOpen;
        case RuleFamily::Checksum:
        case RuleFamily::Ini: return kOpen;
        case RuleFamily::Digest: return kPresence | kOpen;
        case RuleFamily::Section:
        case RuleFamily::Resource: return kPresence | kImage;
        case RuleFamily::Flag: return 0;
    }
    return 0;
}

// The file was there to be read; or what it was instead, when the rule
// computed over nothing.
platform::Outcome FileWasThere(const FileFacts& facts) {
    using platform::Reason;
    if (!facts.found) return Reason{"the file is missing"};
    if (facts.directory) return Reason{"not a regular file"};
    if (!facts.opened) return Reason{"the file cannot be opened (" + facts.whyNotOpened + ")"};
    return platform::Done{};
}

void NoteDirectorySize(EntryReport& r, const FileFacts& facts, const std::string& fileName) {
    if (r.keyword->family == RuleFamily::FileSize) {
        if (!facts.found) r.notes.push_back("the file is missing: its size counts as 0");
        else if (facts.directory) r.notes.push_back("a directory: its size counts as 0");
    }
    if (HasWildcard(fileName))
        r.notes.push_back("the name holds \"*\" or \"?\", which the directory search reads as wildcards: the size is "
                          "that of the first entry the pattern finds");
    if (facts.opened && facts.size >= kFourGiB)
        r.notes.push_back("the file has 4 GiB or more (" + std::to_string(facts.size) +
                          " bytes): the size rules see the low 32 bits (" +
                          std::to_string(facts.size & 0xFFFFFFFFu) + ")");
}

void NoteDigest(EntryReport& r, const FileFacts& facts) {
    if (r.computed != kNoBytesDigest) return;
    const platform::Outcome there = FileWasThere(facts);
    if (!there) r.notes.push_back("digest of no bytes: " + there.failure().text);
    else if (facts.size == 0) r.notes.push_back("digest of no bytes: the file is empty");
    else if (r.keyword->form == ValueForm::Computed) r.notes.push_back("digest of no bytes: the file could not be read");
    else r.notes.push_back("digest of no bytes: the range does not lie wholly inside the file");
}

void NoteImage(EntryReport& r, const FileFacts& facts) {
    const platform::Outcome there = FileWasThere(facts);
    if (!facts.pe) {
        r.notes.push_back(there ? "not a PE image: computed over nothing"
                                : "not a PE image (" + there.failure().text + "): computed over nothing");
    } else if (r.computed && r.computed->empty()) {
        if (r.keyword->family == RuleFamily::Resource)
            r.notes.push_back("no such resource: computed over nothing");
        else if (r.keyword->form == ValueForm::Arguments)
            r.notes.push_back("no section of that name with raw bytes: computed over nothing");
        else
            r.notes.push_back("the section table runs past the end of the file: computed over nothing");
    }
}

void AddNotes(EntryReport& r, const FileFacts& facts, const std::string& fileName) {
    if (!NoteWorthy(r)) return;
    if (r.keyword->reads & kReadsEntrySize) NoteDirectorySize(r, facts, fileName);
    switch (r.keyword->family) {
        case RuleFamily::Checksum:
        case RuleFamily::Ini:
            if (facts.opened && facts.size == 0) r.notes.push_back("no bytes read: the file is empty");
            break;
        case RuleFamily::Digest: NoteDigest(r, facts); break;
        case RuleFamily::Section:
        case RuleFamily::Resource: NoteImage(r, facts); break;
        case RuleFamily::FileSize:
        case RuleFamily::Flag: break;
    }
}

// Whether the expected text ends in the computed one but for letter case.
bool DiffersOnlyInCase(const std::string& value, const std::string& computed) {
    if (computed.empty() || value.size() < computed.size()) return false;
    const std::string tail = value.substr(value.size() - computed.size());
    return tail != computed && AsciiUpperCopy(tail) == computed;
}

// Blanks that split what was probably one entry; true when that was said.
bool HintGroup(EntryReport& r, const std::vector<EntryReport>& entries) {
    std::vector<std::string> members;
    for (const EntryReport& other : entries)
        if (other.group == r.group) members.push_back(other.entry);
    if (members.size() < 2) return false;
    std::string joined, spaced;
    for (std::size_t i = 0; i < members.size(); ++i) {
        joined += members[i];
        spaced += (i ? " " : "") + members[i];
    }
    r.hints.push_back("blanks end an entry: \"" + spaced + "\" was read as " + std::to_string(members.size()) +
                      " entries; write " + joined + ", or enclose the entry in double quotes");
    return true;
}

// An unrecognised entry without "=".
void HintNoEquals(EntryReport& r) {
    const std::string upper = AsciiUpperCopy(r.entry);
    for (const Keyword& k : LibraryKeywords()) {
        if (k.form == ValueForm::Bound && upper.size() > k.name.size() && upper.compare(0, k.name.size(), k.name) == 0) {
            r.hints.push_back("the keyword is \"" + std::string(k.name) + "\" and \"=\" still comes before the value: write " +
                              r.entry.substr(0, k.name.size()) + "=" + r.entry.substr(k.name.size()));
            return;
        }
        if (upper == k.name) {
            r.hints.push_back("an entry needs \"=\" after its keyword: write " + r.entry + "=value");
            return;
        }
    }
    std::size_t word = 0;
    while (word < upper.size() && std::isalnum(static_cast<unsigned char>(upper[word]))) ++word;
    const std::string nearest = NearestKeyword(upper.substr(0, word));
    r.hints.push_back("an entry without \"=\" names no keyword; write KEYWORD=value" +
                      (nearest.empty() ? std::string() : "; the nearest known keyword is " + nearest));
}

// An entry whose keyword the library does not know: how it was probably meant.
void HintUnrecognised(EntryReport& r, const std::vector<EntryReport>& entries, std::set<std::size_t>& groupsHinted) {
    if (groupsHinted.count(r.group)) return;  // the blanks were said at an earlier entry of the group
    if (HintGroup(r, entries)) {
        groupsHinted.insert(r.group);
        return;
    }
    if (r.entry.empty()) {
        r.hints.push_back("an empty entry, from a leading, doubled or trailing comma");
    } else if (r.entry.find('=') == std::string::npos) {
        HintNoEquals(r);
    } else {
        const std::string name = SplitEntry(r.entry).name;
        const std::string nearest = NearestKeyword(name);
        r.hints.push_back("unknown keyword " + name +
                          (nearest.empty() ? std::string() : "; the nearest known one is " + nearest));
    }
}

void AddHints(EntryReport& r, const std::vector<EntryReport>& entries, std::set<std::size_t>& groupsHinted) {
    if (r.outcome == Outcome::Failed && r.computed && DiffersOnlyInCase(SplitEntry(r.entry).value, *r.computed))
        r.hints.push_back("the expected text differs from the computed one only in letter case; digests are "
                          "compared exactly, write it in capitals: " + *r.computed);
    if (r.outcome == Outcome::Failed) {
        if (HintGroup(r, entries)) groupsHinted.insert(r.group);
    } else if (r.outcome == Outcome::Unrecognised) {
        HintUnrecognised(r, entries, groupsHinted);
    }
}

// Whether the engine would find the entry's keyword in the library's table.
bool KnownKeyword(const std::string& entry) {
    EntryParts parts = SplitEntry(entry);
    AsciiUpper(parts.name);
    return LibraryKeyword(parts.name) != nullptr;
}

// Whether some item of the text holds "=", as every rule entry does.
bool HasRuleLikeEntry(const std::string& text) {
    CheckListReader reader(text.c_str());
    while (std::optional<CheckListItem> item = reader.Next())
        if (item->text.find('=') != std::string::npos) return true;
    return false;
}

// Whether every item of the text names a known keyword (and there is one).
bool AllKnownKeywords(const std::string& text) {
    CheckListReader reader(text.c_str());
    bool any = false;
    while (std::optional<CheckListItem> item = reader.Next()) {
        if (!KnownKeyword(item->text)) return false;
        any = true;
    }
    return any;
}

}  // namespace

bool ReadsAsCheckList(const std::string& text) { return AllKnownKeywords(text); }

std::string NearestKeyword(std::string_view name) {
    const std::string upper = AsciiUpperCopy(std::string(name));
    std::string best;
    std::size_t bestDistance = 0;
    for (const Keyword& k : LibraryKeywords()) {
        const std::size_t d = EditDistance(upper, k.name);
        if (best.empty() || d < bestDistance) {
            best = std::string(k.name);
            bestDistance = d;
        }
    }
    // Near means fewer edits than a third of the keyword, and at least one allowed.
    if (best.empty() || bestDistance > std::max<std::size_t>(2, best.size() / 3)) return {};
    return best;
}

CheckReport RunCheck(const std::string& fileName, const std::string& checkList) {
    CheckReport report;
    Collector collector(report);
    Evaluate(fileName.c_str(), checkList.c_str(), LibraryKeywords(), nullptr, &collector);
    // Blanks and control bytes alone give no entry (lone commas give empty
    // entries, which fail): such a list holds for any file.
    if (report.entries.empty()) report.notes.push_back("the list has no entry: an empty list holds for any file");

    unsigned wanted = 0;
    for (const EntryReport& r : report.entries)
        if (NoteWorthy(r)) wanted |= FactsFor(*r.keyword);
    const FileFacts facts = wanted ? ProbeFile(fileName, wanted) : FileFacts{};
    std::set<std::size_t> groupsHinted;
    for (EntryReport& r : report.entries) {
        if (r.outcome == Outcome::NotEvaluated) {
            // Evaluation stopped before the entry; a keyword the library does
            // not know is worth saying all the same, so that one run shows every typo.
            if (!KnownKeyword(r.entry)) HintUnrecognised(r, report.entries, groupsHinted);
            continue;
        }
        AddNotes(r, facts, fileName);
        AddHints(r, report.entries, groupsHinted);
    }
    if (std::optional<std::string> swapped = SwappedArgumentsHint(fileName, checkList))
        report.hints.push_back(std::move(*swapped));
    return report;
}

std::optional<std::string> SwappedArgumentsHint(const std::string& fileName, const std::string& checkList) {
    // Any text is a check list and any text may name a file, so the hint
    // takes all of: the list names a file that is there, the file names
    // none, the file reads like a list, and the list does not.
    if (!HasRuleLikeEntry(fileName) || AllKnownKeywords(checkList)) return std::nullopt;
    if (ProbeFile(fileName, kPresence).found || !ProbeFile(checkList, kPresence).found) return std::nullopt;
    return "the second argument names a file and the first names none; did you swap them? (ondrel check FILE "
           "CHECKLIST)";
}

}  // namespace ondrel::tool
