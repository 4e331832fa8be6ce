// Catalogues: named check lists, and which of them hold for a file.
#include "tools/catalog/catalog.h"

#include <algorithm>
#include <new>

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

Catalogue ParseCatalogue(std::string_view text) {
    Catalogue catalogue;
    std::unordered_map<std::string, std::size_t> lineOfName;
    for (const TextLine& line : SplitLines(text)) {
        const std::size_t first = line.text.find_first_not_of(" \t");
        if (first == std::string_view::npos || line.text[first] == '#') continue;
        platform::Result<CatalogueEntry, platform::Reason> entry = ReadEntry(line.text);
        if (!entry) {
            catalogue.damaged.push_back({line.number, entry.failure().text});
            continue;
        }
        if (auto [at, added] = lineOfName.try_emplace(entry->name, line.number); !added) {
            catalogue.damaged.push_back({line.number, "the name of line " + std::to_string(at->second) + " again"});
            continue;
        }
        entry->line = line.number;
        catalogue.entries.push_back(std::move(*entry));
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
    FileMatch match;
    try {
        if (!platform::IdentityOf(path)) {
            match.problem = WhyNoRegularFile(path);
            return match;
        }
        const std::vector<std::size_t> candidates = index.Candidates(std::to_string(FileSizeLow32(path)));
        match.candidates = candidates.size();
        ListsOfOneFile lists(path);
        ExhaustionWatch watch;
        for (std::size_t i : candidates)
            if (lists.Holds(catalogue.entries[i].checkList, &watch)) match.held.push_back(i);
        if (!watch.reason.empty()) {
            match.held.clear();
            match.problem = watch.reason;
            return match;
        }
        // Asked after the lists, so that a file removed while they ran is missing too.
        if (!platform::IdentityOf(path)) {
            match.held.clear();
            match.problem = WhyNoRegularFile(path);
        }
    } catch (const std::bad_alloc&) {
        match.held.clear();
        match.problem = "out of memory";
    } catch (const platform::ResourcesExhausted& e) {
        match.held.clear();
        match.problem = e.what();
    }
    return match;
}

}  // namespace ondrel::tool
