// Catalogues: named check lists, and which of them hold for a file.
#include "tools/catalog/catalog.h"

#include <algorithm>
#include <new>
#include <utility>

#include "checks/ascii.h"
#include "checks/check_list.h"
#include "checks/engine.h"
#include "checks/file_size.h"
#include "platform/file.h"
#include "platform/result.h"
#include "tools/manifest/manifest.h"
#include "tools/catalog/one_file.h"

namespace ondrel::tool {

namespace {

constexpr const char* kBadEscape = "a backslash that starts none of \\\\ \\t \\n \\r";

// The entry of a line, or why there is none.
platform::Result<CatalogueEntry, platform::Reason> ReadEntry(std::string_view line) {
    using platform::Reason;
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return Reason{"no TAB between the name and the check list"};
    std::optional<std::string> name = UnescapeField(line.substr(0, tab));
    std::optional<std::string> list = UnescapeField(line.substr(tab + 1));
    if (!name || !list) return Reason{kBadEscape};
    if (name->empty()) return Reason{"no name before the TAB"};
    if (name->find('\0') != std::string::npos || list->find('\0') != std::string::npos) return Reason{"a zero byte"};
    if (!HasEntry(list->c_str()))
        return Reason{"no entry in the check list after the TAB (it would hold for every file or for none)"};
    return CatalogueEntry{0, std::move(*name), std::move(*list)};
}

}  // namespace

CatalogueLineRead ReadCatalogueLine(std::string_view line) {
    CatalogueLineRead read;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return read;
    if (line[first] == '#') {
        const std::string_view rest = line.substr(first);
        read.marksNext = rest.substr(0, kAgainstMark.size()) == kAgainstMark &&
                         (rest.size() == kAgainstMark.size() || rest[kAgainstMark.size()] == '\t');
        return read;
    }
    platform::Result<CatalogueEntry, platform::Reason> entry = ReadEntry(line);
    if (!entry) {
        read.kind = CatalogueLineRead::Kind::Damaged;
        read.damage = std::move(entry.failure().text);
        return read;
    }
    read.kind = CatalogueLineRead::Kind::Entry;
    read.entry = std::move(*entry);
    return read;
}

std::string RepeatedNameDamage(std::size_t firstLine) { return "the name of line " + std::to_string(firstLine) + " again"; }

Catalogue ParseCatalogue(std::string_view text) {
    Catalogue catalogue;
    std::unordered_map<std::string, std::size_t> lineOfName;
    bool marked = false;  // the line before was the mark
    for (const TextLine& line : SplitLines(text)) {
        CatalogueLineRead read = ReadCatalogueLine(line.text);
        read.entry.neighboursOnly = std::exchange(marked, read.marksNext);
        if (read.kind == CatalogueLineRead::Kind::Nothing) continue;
        if (read.kind == CatalogueLineRead::Kind::Damaged) {
            catalogue.damaged.push_back({line.number, std::move(read.damage)});
            continue;
        }
        if (auto [at, added] = lineOfName.try_emplace(read.entry.name, line.number); !added) {
            catalogue.damaged.push_back({line.number, RepeatedNameDamage(at->second)});
            continue;
        }
        read.entry.line = line.number;
        catalogue.entries.push_back(std::move(read.entry));
    }
    return catalogue;
}

std::string CatalogueLine(const std::string& name, const std::string& checkList) {
    return EscapeField(name) + "\t" + EscapeField(checkList);
}

std::optional<std::string> RequiredSize(const std::string& checkList) {
    CheckListReader reader(checkList.c_str());
    while (std::optional<CheckListItem> item = reader.Next()) {
        EntryParts parts = SplitEntry(item->text);
        AsciiUpper(parts.name);
        if (parts.name == "FILESIZE") return std::move(parts.value);
    }
    return std::nullopt;
}

CatalogueIndex::CatalogueIndex(const Catalogue& catalogue) {
    for (std::size_t i = 0; i < catalogue.entries.size(); ++i) {
        if (std::optional<std::string> size = RequiredSize(catalogue.entries[i].checkList)) bySize_[*size].push_back(i);
        else unsized_.push_back(i);
    }
}

std::vector<std::size_t> CatalogueIndex::Candidates(const std::string& sizeText) const {
    const auto sized = bySize_.find(sizeText);
    if (sized == bySize_.end()) return unsized_;
    std::vector<std::size_t> all;
    all.reserve(sized->second.size() + unsized_.size());
    std::merge(sized->second.begin(), sized->second.end(), unsized_.begin(), unsized_.end(), std::back_inserter(all));
    return all;
}

namespace {

// Notes an evaluation that ran out of the process's resources.
class ExhaustionWatch : public EvaluationObserver {
public:
    void OnEntry(const CheckListItem&, std::string_view, const RuleTrace& trace, Outcome outcome) override {
        if (outcome == Outcome::Exhausted && reason.empty()) reason = trace.reason.empty() ? "out of resources" : trace.reason;
    }
    void OnResult(bool) override {}
    std::string reason;
};

std::string WhyNoRegularFile(const std::string& path) {
    platform::Result<platform::File, platform::OpenFailure> file = platform::File::Open(path, platform::Share::ReadWrite);
    if (file) return "it was there only while it was checked";
    return platform::OpenFailureText(file.failure());
}

}  // namespace

FileMatch MatchFile(const std::string& path, const Catalogue& catalogue, const CatalogueIndex& index) {
    std::vector<Candidate> candidates;
    return MatchFile(path, [&](const std::string& sizeText) -> platform::Result<std::vector<Candidate>, platform::Reason> {
        candidates.clear();
        for (std::size_t i : index.Candidates(sizeText)) candidates.push_back({i, &catalogue.entries[i]});
        return std::move(candidates);
    });
}

FileMatch MatchFile(const std::string& path, const CandidatesOfSize& candidatesOf) {
    FileMatch match;
    auto fail = [&](std::string problem) {
        match.held.clear();
        match.names.clear();
        match.problem = std::move(problem);
    };
    try {
        if (!platform::IdentityOf(path)) {
            match.problem = WhyNoRegularFile(path);
            return match;
        }
        const platform::Result<std::vector<Candidate>, platform::Reason> candidates =
            candidatesOf(std::to_string(FileSizeLow32(path)));
        if (!candidates) {
            fail(candidates.failure().text);
            return match;
        }
        match.candidates = candidates->size();
        ListsOfOneFile lists(path);
        ExhaustionWatch watch;
        for (const Candidate& c : *candidates) {
            if (!lists.Holds(c.read->checkList, &watch)) continue;
            match.held.push_back(c.entry);
            match.names.push_back(c.read->name);
            match.neighboursOnly.push_back(c.read->neighboursOnly);
        }
        if (!watch.reason.empty()) {
            fail(watch.reason);
            return match;
        }
        // Asked after the lists, so that a file removed while they ran is missing too.
        if (!platform::IdentityOf(path)) fail(WhyNoRegularFile(path));
    } catch (const std::bad_alloc&) {
        fail("out of memory");
    } catch (const platform::ResourcesExhausted& e) {
        fail(e.what());
    }
    return match;
}

}  // namespace ondrel::tool
