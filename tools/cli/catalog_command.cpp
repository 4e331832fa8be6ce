// ondrel catalog check CATALOG DIR: how specific the entries of a catalogue
// are over the files of a folder. ondrel catalog index CATALOG: the index
// beside it that identify and catalog check read in place.
#include <memory>

#include <CLI/CLI.hpp>

#include "tools/cli/catalog_load.h"
#include "tools/cli/commands.h"
#include "tools/batch/in_order.h"
#include "tools/cli/output.h"
#include "platform/command_services.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

struct CatalogCheckOptions {
    std::string catalogue;
    std::string folder;
    bool json = false;
    unsigned jobs = 0;
};

// Which entry holds for which file, both ways.
struct Specificity {
    std::vector<std::vector<std::size_t>> filesOfEntry;
    std::vector<std::vector<std::size_t>> entriesOfFile;
    std::vector<std::string> problems;  // per file; empty when it was read
};

// The catalogue as reported: its entries and damaged lines.
struct Listed {
    const std::vector<CatalogueEntry>& entries;
    const std::vector<DamagedLine>& damaged;
};

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

std::string Count(std::uint64_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

void PrintText(const Listed& c, const std::vector<FileToMatch>& files, const Specificity& s) {
    auto entry = [&](std::size_t e) { return "entry " + Quoted(c.entries[e].name) + " (line " + std::to_string(c.entries[e].line) + ")"; };
    for (std::size_t e = 0; e < c.entries.size(); ++e) {
        const std::vector<std::size_t>& held = s.filesOfEntry[e];
        if (held.size() < 2) continue;
        std::string line = entry(e) + " holds for " + Count(held.size(), "file", "files") + ":";
        for (std::size_t f : held) line += " " + files[f].shown + ",";
        line.pop_back();
        out::Line(line);
    }
    for (std::size_t f = 0; f < files.size(); ++f) {
        const std::vector<std::size_t>& held = s.entriesOfFile[f];
        if (held.size() == 1) continue;
        std::string line = "file " + files[f].shown;
        if (!s.problems[f].empty()) line += " could not be read (" + s.problems[f] + ")";
        else if (held.empty()) line += " is recognised by no entry";
        else {
            line += " is recognised by " + Count(held.size(), "entry", "entries") + ":";
            for (std::size_t e : held) line += " " + Quoted(c.entries[e].name) + ",";
            line.pop_back();
        }
        out::Line(line);
    }
    for (std::size_t e = 0; e < c.entries.size(); ++e)
        if (s.filesOfEntry[e].empty()) out::Line(entry(e) + " holds for no file");
}

json EntryJson(const Listed& c, const std::vector<FileToMatch>& files, const Specificity& s, std::size_t e) {
    json held = json::array();
    for (std::size_t f : s.filesOfEntry[e]) held.push_back(files[f].shown);
    return {{"name", c.entries[e].name}, {"line", c.entries[e].line}, {"files", held}};
}

void PrintJson(const CatalogCheckOptions& o, const Listed& c, const std::vector<FileToMatch>& files,
               const Specificity& s, const json& summary) {
    json entries = json::array(), fileList = json::array(), damaged = json::array();
    for (std::size_t e = 0; e < c.entries.size(); ++e) entries.push_back(EntryJson(c, files, s, e));
    for (std::size_t f = 0; f < files.size(); ++f) {
        json names = json::array();
        for (std::size_t e : s.entriesOfFile[f]) names.push_back(c.entries[e].name);
        fileList.push_back({{"path", files[f].shown}, {"names", names},
                            {"problem", s.problems[f].empty() ? json(nullptr) : json(s.problems[f])}});
    }
    for (const DamagedLine& d : c.damaged) damaged.push_back({{"line", d.line}, {"damage", d.damage}});
    out::Line(JsonText({{"catalogue", o.catalogue}, {"folder", o.folder}, {"entries", entries}, {"files", fileList},
                        {"damagedLines", damaged}, {"summary", summary}}));
}

int RunCatalogCheck(const CatalogCheckOptions& o) {
    std::optional<LoadedCatalogue> loaded = LoadCatalogue(o.catalogue, "catalog check", o.json, false);
    if (!loaded) return kUsage;
    // Every entry is reported, so every one is read, through the index too.
    const platform::Result<const std::vector<CatalogueEntry>*, platform::Reason> entries = loaded->AllEntries();
    if (!entries) {
        Warn("catalog check", o.catalogue + ": " + entries.failure().text);
        return kUsage;
    }
    const Listed c{**entries, loaded->Damaged()};
    if (!platform::IsFolder(o.folder)) {
        Warn("catalog check", o.folder + ": not a folder");
        return kUsage;
    }
    bool lost = false;
    const std::vector<FileToMatch> files = FilesToMatch({}, {o.folder}, "catalog check", lost);
    Specificity s{std::vector<std::vector<std::size_t>>(c.entries.size()),
                  std::vector<std::vector<std::size_t>>(files.size()), std::vector<std::string>(files.size())};
    RunInOrder<FileMatch>(
        files.size(), o.jobs ? o.jobs : platform::Cores(), [&](std::size_t i) { return loaded->Match(files[i].path); },
        [&](std::size_t i, FileMatch& m) {
            s.problems[i] = m.problem;
            s.entriesOfFile[i] = m.held;
            for (std::size_t e : m.held) s.filesOfEntry[e].push_back(i);
        },
        [](std::size_t) {}, [](const std::string& note) { Warn("catalog check", note); });

    std::size_t once = 0, several = 0, none = 0, broad = 0, idle = 0;
    for (const std::vector<std::size_t>& held : s.entriesOfFile) (held.size() == 1 ? once : held.empty() ? none : several)++;
    for (const std::vector<std::size_t>& held : s.filesOfEntry)
        if (held.size() > 1) ++broad;
        else if (held.empty()) ++idle;
    const std::string summary = Count(files.size(), "file", "files") + ", " + Count(c.entries.size(), "entry", "entries") +
                                ": " + std::to_string(once) + " recognised by exactly one entry, " +
                                std::to_string(several) + " by several, " + std::to_string(none) + " by none; " +
                                std::to_string(broad) + " " + (broad == 1 ? "entry holds" : "entries hold") +
                                " for several files, " + std::to_string(idle) + " for none";
    if (o.json) {
        PrintJson(o, c, files, s,
                  {{"files", files.size()}, {"recognisedOnce", once}, {"recognisedSeveral", several},
                   {"recognisedNone", none}, {"entriesForSeveral", broad}, {"entriesForNone", idle}});
    } else {
        PrintText(c, files, s);
        out::Line(summary);
    }
    const bool exact = !files.empty() && once == files.size();
    return exact && !lost && c.damaged.empty() ? kHolds : kFails;
}

int RunCatalogIndex(const std::string& catalogue) {
    if (catalogue == "-") {
        Warn("catalog index", "an index goes beside a catalogue file, not standard input");
        return kUsage;
    }
    if (platform::IsFolder(catalogue)) {
        Warn("catalog index", catalogue + ": a folder, not a catalogue");
        return kUsage;
    }
    const platform::Result<IndexWritten, platform::Reason> written = WriteCatalogueIndex(catalogue);
    if (!written) {
        Warn("catalog index", catalogue + ": " + written.failure().text);
        return kUsage;
    }
    for (const DamagedLine& d : written->damaged)
        Warn("catalog index", catalogue + ":" + std::to_string(d.line) + ": damaged line: " + d.damage);
    if (written->digestKept)
        Warn("catalog index", catalogue + ": changed within the last two seconds, so its MD5 is kept in the index "
                              "and checked at every use; index it again later to spare that");
    out::Line(written->name + ": " + Count(written->entries, "entry", "entries") + " (" +
              std::to_string(written->unsized) + " without a size), " +
              Count(written->damaged.size(), "damaged line", "damaged lines") + ", " +
              std::to_string(written->bytes) + " bytes");
    return written->damaged.empty() ? kHolds : kFails;
}

}  // namespace

void SetupCatalog(CLI::App& app, int& status) {
    CLI::App* catalog = app.add_subcommand("catalog", "Catalogues of named check lists (see ondrel identify --help): "
                                                      "catalog check CATALOG DIR, catalog index CATALOG.");
    catalog->require_subcommand(1);
    catalog->footer("Exit status: that of the subcommand; 2 a usage error.");
    auto o = std::make_shared<CatalogCheckOptions>();
    CLI::App* cmd = catalog->add_subcommand(
        "check", "The specificity of the catalogue CATALOG over the regular files under DIR: each entry that "
                 "holds for more than one file (with the files), each file recognised by several entries or by "
                 "none (with the entries), each entry that holds for no file; then a summary.");
    cmd->add_option("CATALOG", o->catalogue, "the catalogue; - for standard input")->required()->type_name("");
    cmd->add_option("DIR", o->folder, "the folder of known files")->required()->type_name("");
    cmd->add_flag("--json", o->json, "print one JSON object: every entry with the files it holds for, every file "
                                     "with the entries that hold for it, a summary");
    cmd->add_option("-j,--jobs", o->jobs, "files to check at once (default: one per core)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u).description(""));
    cmd->footer("Files and entries are matched as ondrel identify matches them. Entries that hold for several "
                "files or for none are reported, but only the files decide the status.\n"
                "Exit status: 0 every file under DIR is recognised by exactly one entry; 1 a file is recognised "
                "by several entries or by none or could not be read, a catalogue line is damaged, a folder could "
                "not be walked in full, or DIR holds no file; 2 a usage error, a catalogue that cannot be read, "
                "or a failed write.");
    cmd->callback([o, &status] { status = RunCatalogCheck(*o); });

    auto indexed = std::make_shared<std::string>();
    CLI::App* index = catalog->add_subcommand(
        "index", "Writes the index of the catalogue CATALOG beside it, as CATALOG.index (replaced if there), and "
                 "says what it holds: identify and catalog check then read the catalogue through it, in place, "
                 "instead of reading it whole.");
    index->add_option("CATALOG", *indexed, "the catalogue file")->required()->type_name("");
    index->footer(
        "The index holds, in a few fixed-size records per entry (32 bytes for an entry that requires a size, "
        "24 for one that requires none), where each entry's line is in the catalogue, its line number, the "
        "entries sorted by the size they require (FILESIZE=N) and those that require none; the damaged lines "
        "with their damage; the catalogue's size, modification and change times and file number; and the "
        "index format's version. A file's entries are read back from the catalogue when the file is matched, "
        "as the catalogue would be read whole: the results are the same either way.\n"
        "identify and catalog check use CATALOG.index when it is there and fresh. When the catalogue changed "
        "since (its size, times or file number differ), or the index is damaged, truncated or of another "
        "version, they say once on standard error why it is not used, and read the catalogue whole as if "
        "there were no index (identify -q says nothing). A catalogue indexed within two seconds of a change "
        "may change again without its times showing it: its MD5 is then kept in the index and checked at "
        "every use, which reads the catalogue once more; indexing it again later spares that. Memory while "
        "indexing: 16 bytes per entry, and the damaged lines.\n"
        "Exit status: 0 the index was written; 1 it was written, and catalogue lines are damaged (said); 2 a "
        "usage error, a catalogue that cannot be read or changed while it was read, or an index that cannot "
        "be written.");
    index->callback([indexed, &status] { status = RunCatalogIndex(*indexed); });
}

}  // namespace ondrel::tool
