// ondrel check: the engine's trace, with the reasons for rules that threw,
// notes on rules that held or failed on nothing, and hints.
#include <algorithm>
#include <cctype>

#include "checks/ascii.h"
#include "checksums/hex.h"
#include "platform/text.h"
#include "tools/tool.h"

namespace ondrel::tool {

namespace {

constexpr std::string_view kNoBytesDigest = "D41D8CD98F00B204E9800998ECF8427E";

class Collector : public EvaluationObserver {
public:
    explicit Collector(CheckReport& report) : report_(report) {}
    void OnEntry(const CheckListItem& item, std::string_view keyword, const RuleTrace& trace,
                 Outcome outcome) override {
        EntryReport r;
        r.entry = item.text;
        r.group = item.group;
        r.keyword = std::string(keyword);
        r.hasText = trace.text.has_value();
        r.computed = trace.text.value_or(std::string());
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

bool IsPeKeyword(std::string_view k) {
    return k == "SECSIZE" || k == "SSECMD5" || k == "SECMD5" || k == "ICONMD5" || k == "BRMD5" || k == "RESMD5";
}
bool IsResourceKeyword(std::string_view k) { return k == "ICONMD5" || k == "BRMD5" || k == "RESMD5"; }

// What the file was when the rule computed over nothing.
std::string AbsenceOfFile(const FileFacts& facts) {
    if (!facts.found) return "the file is missing";
    if (facts.directory) return "not a regular file";
    if (!facts.opened) return "the file cannot be opened";
    return {};
}

void AddNotes(EntryReport& r, const FileFacts& facts) {
    if (r.outcome != Outcome::Held && r.outcome != Outcome::Failed) return;
    const std::string& k = r.keyword;
    const std::string absent = AbsenceOfFile(facts);
    if (k == "FILESIZE" || k == "FILESIZE>" || k == "FILESIZE<") {
        if (!facts.found) r.notes.push_back("the file is missing: its size counts as 0");
        else if (facts.directory) r.notes.push_back("a directory: its size counts as 0");
    } else if (k == "CRC32" || k == "INI") {
        if (facts.opened && facts.size == 0) r.notes.push_back("no bytes read: the file is empty");
    } else if (k == "MD5" || k == "ENDMD5" || k == "SIZEMD5") {
        if (r.computed != kNoBytesDigest) return;
        if (!absent.empty()) r.notes.push_back("digest of no bytes: " + absent);
        else if (facts.size == 0) r.notes.push_back("digest of no bytes: the file is empty");
        else if (k == "MD5") r.notes.push_back("digest of no bytes: the file could not be read");
        else r.notes.push_back("digest of no bytes: the range does not lie wholly inside the file");
    } else if (IsPeKeyword(k)) {
        if (!facts.pe) {
            r.notes.push_back(absent.empty() ? "not a PE image: computed over nothing"
                                             : "not a PE image (" + absent + "): computed over nothing");
        } else if (r.hasText && r.computed.empty()) {
            if (IsResourceKeyword(k)) r.notes.push_back("no such resource: computed over nothing");
            else if (k == "SSECMD5") r.notes.push_back("no section of that name with raw bytes: computed over nothing");
            else r.notes.push_back("the section table runs past the end of the file: computed over nothing");
        }
    }
}

// The expected text of a rule: what follows the last "|" or first "-" where
// the value has them, else the whole value.
bool DiffersOnlyInCase(const std::string& value, const std::string& computed) {
    if (computed.empty() || value.size() < computed.size()) return false;
    const std::string tail = value.substr(value.size() - computed.size());
    return tail != computed && AsciiUpperCopy(tail) == computed;
}

void AddHints(EntryReport& r, const std::vector<EntryReport>& entries) {
    const EntryParts parts = SplitEntry(r.entry);
    std::string name = parts.name;
    AsciiUpper(name);
    const bool failed = r.outcome == Outcome::Failed || r.outcome == Outcome::Unrecognised;
    if (r.outcome == Outcome::Failed && r.hasText && DiffersOnlyInCase(parts.value, r.computed))
        r.hints.push_back("the expected text differs from the computed one only in letter case; digests are "
                          "compared exactly, write it in capitals: " + r.computed);
    if (r.outcome != Outcome::Unrecognised && !failed) return;

    // Blanks that split what was probably one entry.
    {
        std::vector<std::string> members;
        for (const EntryReport& other : entries)
            if (other.group == r.group) members.push_back(other.entry);
        if (members.size() > 1) {
            std::string joined, spaced;
            for (std::size_t i = 0; i < members.size(); ++i) {
                joined += members[i];
                spaced += (i ? " " : "") + members[i];
            }
            r.hints.push_back("blanks end an entry: \"" + spaced + "\" was read as " + std::to_string(members.size()) +
                              " entries; write " + joined + ", or enclose the entry in double quotes");
            return;
        }
    }
    if (r.outcome != Outcome::Unrecognised) return;
    if (r.entry.empty()) {
        r.hints.push_back("an empty entry, from a leading, doubled or trailing comma");
        return;
    }
    if (r.entry.find('=') == std::string::npos) {
        std::string upper = AsciiUpperCopy(r.entry);
        for (std::string_view bound : {std::string_view("FILESIZE>"), std::string_view("FILESIZE<")})
            if (upper.size() > bound.size() && upper.compare(0, bound.size(), bound) == 0) {
                r.hints.push_back("the keyword is \"" + std::string(bound) + "\" and \"=\" still comes before the value: write " +
                                  r.entry.substr(0, bound.size()) + "=" + r.entry.substr(bound.size()));
                return;
            }
        for (const Keyword& k : LibraryKeywords())
            if (upper == k.name) {
                r.hints.push_back("an entry needs \"=\" after its keyword: write " + r.entry + "=value");
                return;
            }
        std::size_t word = 0;
        while (word < upper.size() && std::isalnum(static_cast<unsigned char>(upper[word]))) ++word;
        const std::string nearest = NearestKeyword(upper.substr(0, word));
        r.hints.push_back("an entry without \"=\" names no keyword; write KEYWORD=value" +
                          (nearest.empty() ? std::string() : "; the nearest known keyword is " + nearest));
        return;
    }
    const std::string nearest = NearestKeyword(name);
    if (!nearest.empty()) r.hints.push_back("unknown keyword " + parts.name + "; the nearest known one is " + nearest);
    else r.hints.push_back("unknown keyword " + parts.name);
}

}  // namespace

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

    const FileFacts facts = ProbeFile(fileName);
    for (EntryReport& r : report.entries) {
        if (r.outcome == Outcome::NotEvaluated) continue;
        AddNotes(r, facts);
        AddHints(r, report.entries);
    }
    return report;
}

}  // namespace ondrel::tool
