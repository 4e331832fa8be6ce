// ondrel make --catalog NAME FILE, and make FILE --against OTHER... |
// --against-catalog CATALOG [--explain]: a catalogue line, and the
// cheapest list that tells FILE from the other files.
#include "tools/cli/make_against.h"

#include <CLI/CLI.hpp>

#include "tools/catalog/catalog.h"
#include "tools/manifest/manifest.h"
#include "tools/cli/output.h"
#include "tools/catalog/separate.h"
#include "platform/command_services.h"
#include "tools/manifest/text_file.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

// The files a catalogue names: each entry's name as a path from the current
// folder. The entry that names FILE itself is left out. Nothing (and the
// status in status) when the catalogue cannot be read or is damaged.
std::optional<std::vector<std::string>> FilesOfCatalogue(const std::string& name, const std::string& file, int& status) {
    const platform::Result<std::string, platform::Reason> text = ReadText(name, "catalogue");
    if (!text) {
        Warn("make", name + ": " + text.failure().text);
        status = kUsage;
        return std::nullopt;
    }
    const Catalogue catalogue = ParseCatalogue(*text);
    for (const DamagedLine& d : catalogue.damaged)
        Warn("make", name + ":" + std::to_string(d.line) + ": damaged line: " + d.damage);
    if (!catalogue.damaged.empty()) {
        status = kUsage;
        return std::nullopt;
    }
    const std::optional<platform::FileKey> self = platform::FileKeyOf(file);
    std::vector<std::string> paths;
    for (const CatalogueEntry& e : catalogue.entries) {
        ManifestLine line;
        line.path = e.name;
        std::string path = PathToCheck(line, {}, std::nullopt);
        const std::optional<platform::FileKey> key = platform::FileKeyOf(path);
        if (!key) {
            Warn("make", name + ":" + std::to_string(e.line) + ": \"" + e.name + "\" names no regular file");
            status = kFails;
            return std::nullopt;
        }
        if (!(self && key->SameFile(*self))) paths.push_back(std::move(path));
    }
    return paths;
}

std::string Names(const std::vector<std::size_t>& which, const std::vector<std::string>& others) {
    constexpr std::size_t kShown = 5;
    std::string text;
    for (std::size_t k = 0; k < which.size() && k < kShown; ++k) text += (k ? ", " : "") + others[which[k]];
    if (which.size() > kShown) text += " and " + std::to_string(which.size() - kShown) + " more";
    return text;
}

void PrintJson(const std::string& file, const std::vector<std::string>& others, const Separation& s) {
    json rules = json::array();
    for (const SeparatingRule& r : s.rules) {
        json tells = json::array();
        for (std::size_t i : r.tells) tells.push_back(others[i]);
        rules.push_back({{"entry", r.entry}, {"bytesRead", r.bytesRead}, {"why", r.why}, {"tells", tells}});
    }
    json same = json::array();
    for (std::size_t i : s.same) same.push_back(others[i]);
    out::Line(JsonText({{"file", file}, {"against", others},
                        {"checkList", s.checkList.empty() ? json(nullptr) : json(s.checkList)},
                        {"bytesRead", s.bytesRead}, {"fileSize", s.fileSize}, {"rules", rules}, {"same", same},
                        {"problem", s.problem.empty() ? json(nullptr) : json(s.problem)}}));
}

void PrintExplanation(const std::vector<std::string>& others, const Separation& s) {
    for (const SeparatingRule& r : s.rules) {
        std::string line = "# " + r.entry + ": " + r.why;
        if (!r.tells.empty()) line += ": " + Names(r.tells, others);
        out::Line(line);
    }
    out::Line("# a host reads " + std::to_string(s.bytesRead) + " of the file's " + std::to_string(s.fileSize) +
              " bytes for this list (\"MD5\" reads them all); proved: it holds for the file and fails for " +
              (others.size() == 1 ? "the other file" : "each of the " + std::to_string(others.size()) + " other files"));
}

// The OTHERs without FILE itself (the same name, or another name of the
// same file), which a glob of the OTHERs easily holds: each is noted.
std::vector<std::string> OthersThanFile(const std::vector<std::string>& against, const std::string& file) {
    const std::optional<platform::FileKey> self = platform::FileKeyOf(file);
    std::vector<std::string> others;
    for (const std::string& other : against) {
        const std::optional<platform::FileKey> key = other == file ? self : platform::FileKeyOf(other);
        if (other == file || (self && key && key->SameFile(*self)))
            Warn("make", ShownName(other) + ": left out of --against: it is FILE itself");
        else
            others.push_back(other);
    }
    return others;
}

int Separating(const MakeAgainstOptions& o, const std::string& file, bool asJson) {
    std::vector<std::string> others = OthersThanFile(o.against, file);
    if (!o.againstCatalog.empty()) {
        int status = kHolds;
        std::optional<std::vector<std::string>> named = FilesOfCatalogue(o.againstCatalog, file, status);
        if (!named) return status;
        others.insert(others.end(), named->begin(), named->end());
    }
    if (others.empty()) {
        Warn("make", (o.againstCatalog.empty() ? "--against" : o.againstCatalog) + ": names no file but " +
                         ShownName(file) + " itself");
        return kUsage;
    }
    const Separation s = Separate(file, others);
    if (asJson) PrintJson(file, others, s);
    if (!s.problem.empty()) {
        Warn("make", s.problem);
        return kFails;
    }
    if (asJson) return kHolds;
    if (o.explain) PrintExplanation(others, s);
    if (!o.catalogName.empty())  // the list tells FILE from these files only: identify says so
        out::Line(std::string(kAgainstMark) + "\t" + std::to_string(others.size()));
    out::Line(o.catalogName.empty() ? s.checkList : CatalogueLine(o.catalogName, s.checkList));
    return kHolds;
}

}  // namespace

void AddMakeAgainstOptions(CLI::App& make, MakeAgainstOptions& o, CLI::Option* manifest, CLI::Option* json,
                           CLI::Option* rules) {
    CLI::Option* name = make.add_option("--catalog", o.catalogName,
                                        "print a catalogue line for FILE: NAME, a TAB, the check list")
                            ->type_name("NAME");
    CLI::Option* against = make.add_option("--against", o.against,
                                           "print the cheapest list that holds for FILE and fails for each OTHER "
                                           "(give FILE first)")
                               ->type_name("OTHER...");
    CLI::Option* catalogue = make.add_option("--against-catalog", o.againstCatalog,
                                             "as --against, the files the catalogue's names lead to (from the "
                                             "current folder; the one that is FILE is left out)")
                                 ->type_name("CATALOG");
    CLI::Option* explain = make.add_flag("--explain", o.explain,
                                         "with --against: before the list, why each rule was chosen and the bytes "
                                         "a host reads for it, as # lines");
    name->excludes(manifest)->excludes(json);
    against->excludes(manifest)->excludes(rules);
    catalogue->excludes(manifest)->excludes(rules);
    explain->excludes(json);
}

std::string MakeAgainstHelp() {
    return "Catalogues: --catalog NAME FILE prints \"NAME<TAB>check list\" (see ondrel identify --help). FILE "
           "--against OTHER... (or --against-catalog CATALOG) prints the cheapest list, in bytes a host reads, "
           "that holds for FILE and fails for every other file: FILESIZE alone when the sizes differ, else the "
           "fewest and smallest SIZEMD5/ENDMD5 ranges where the bytes differ, then a section's SSECMD5, a "
           "whole-file MD5 only when nothing smaller tells them apart; the list is checked against every file "
           "before it is printed. Files that hold the same bytes cannot be told apart: that is said, and the "
           "status is 1.\n";
}

std::optional<int> RunMakeAgainst(const MakeAgainstOptions& o, const std::vector<std::string>& files,
                                  const RuleChoice& rules, bool json) {
    const bool separating = !o.against.empty() || !o.againstCatalog.empty();
    if (!separating && o.catalogName.empty() && !o.explain) return std::nullopt;
    if (o.explain && !separating) {
        Warn("make", "--explain goes with --against or --against-catalog");
        return kUsage;
    }
    if (files.size() != 1) {
        Warn("make", separating ? "give one FILE, then --against OTHER... or --against-catalog CATALOG"
                                : "--catalog NAME takes one FILE");
        return kUsage;
    }
    if (const std::size_t first = o.catalogName.find_first_not_of(" \t");
        first != std::string::npos && o.catalogName[first] == '#') {
        Warn("make", "a catalogue name cannot start with \"#\": the line would read as a comment");
        return kUsage;
    }
    if (separating) return Separating(o, files[0], json);
    const MadeList made = MakeCheckList(files[0], rules);
    for (const std::string& left : made.leftOut) Warn("make", files[0] + ": left out " + left);
    if (!made.problem.empty()) {
        Warn("make", files[0] + ": " + made.problem);
        return kFails;
    }
    out::Line(CatalogueLine(o.catalogName, made.checkList));
    return kHolds;
}

}  // namespace ondrel::tool
