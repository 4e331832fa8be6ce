// ondrel identify CATALOG FILE... [-r DIR]: which known version each file
// is, on all cores, in the order of the files as they are done.
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "tools/cli/catalog_load.h"
#include "tools/cli/commands.h"
#include "tools/batch/in_order.h"
#include "tools/manifest/manifest.h"
#include "tools/cli/output.h"
#include "platform/command_services.h"

namespace ondrel::tool {

namespace {

using nlohmann::json;

struct IdentifyOptions {
    std::string catalogue;
    std::vector<std::string> files;
    std::vector<std::string> folders;  // -r
    bool quiet = false;
    bool json = false;
    bool strict = false;  // a match through an entry made against a few files does not identify
    unsigned jobs = 0;
};

struct Counts {
    std::size_t files = 0, identified = 0, several = 0, unknown = 0, unread = 0;
    std::size_t neighboursOnly = 0;  // of the identified: through an entry made against a few files
};

class IdentifyRun {
public:
    explicit IdentifyRun(const IdentifyOptions& o) : o_(o) {}
    int Run();

private:
    void Emit(const FileToMatch& f, const FileMatch& m);
    std::string Summary() const;

    const IdentifyOptions& o_;
    std::optional<LoadedCatalogue> catalogue_;
    std::optional<JsonWriter> json_;
    Counts counts_;
};

void IdentifyRun::Emit(const FileToMatch& f, const FileMatch& m) {
    ++counts_.files;
    if (!m.problem.empty()) ++counts_.unread;
    else if (m.held.empty()) ++counts_.unknown;
    else if (m.held.size() == 1) ++counts_.identified;
    else ++counts_.several;
    const bool onlyNeighbours = m.problem.empty() && m.held.size() == 1 && m.neighboursOnly[0];
    counts_.neighboursOnly += onlyNeighbours;
    if (o_.quiet) return;
    if (!m.problem.empty() && !o_.json) Warn("identify", ShownName(f.path) + ": " + m.problem);
    if (onlyNeighbours && !o_.json)
        Warn("identify", ShownName(f.shown) + ": " + (o_.strict ? "refused (--strict): " : "") + "\"" + m.names[0] +
                             "\" tells its version only from the files its list was made against; an unknown build "
                             "may match it too");
    if (json_) {
        json names = json::array(), neighbours = json::array();
        for (std::size_t k = 0; k < m.names.size(); ++k) {
            names.push_back(m.names[k]);
            if (m.neighboursOnly[k]) neighbours.push_back(m.names[k]);
        }
        json_->Element({{"path", f.shown}, {"names", names}, {"neighboursOnly", neighbours},
                        {"candidates", m.candidates},
                        {"problem", m.problem.empty() ? json(nullptr) : json(m.problem)}});
        return;
    }
    // Escaped as in manifests; a line with an escape starts with a backslash, as md5sum marks it.
    std::string line = EscapeField(f.shown);
    bool escaped = line != f.shown;
    for (const std::string& name : m.names) {
        const std::string field = EscapeField(name);
        escaped = escaped || field != name;
        line += "\t" + field;
    }
    if (m.held.empty()) line += "\tunknown";
    out::Line(escaped ? "\\" + line : line);
}

std::string IdentifyRun::Summary() const {
    return std::to_string(counts_.files) + (counts_.files == 1 ? " file: " : " files: ") +
           std::to_string(counts_.identified) + " identified" +
           (counts_.neighboursOnly ? " (" + std::to_string(counts_.neighboursOnly) + " only from known neighbours" +
                                         (o_.strict ? ", refused" : "") + ")"
                                   : std::string()) +
           ", " + std::to_string(counts_.several) +
           " by several entries, " + std::to_string(counts_.unknown) + " unknown, " + std::to_string(counts_.unread) +
           " not read";
}

int IdentifyRun::Run() {
    catalogue_ = LoadCatalogue(o_.catalogue, "identify", o_.quiet, o_.quiet);
    if (!catalogue_) return kUsage;
    for (const std::string& folder : o_.folders) {
        if (!platform::IsFolder(folder)) {
            Warn("identify", folder + ": not a folder");
            return kUsage;
        }
    }
    FilesToMatchSource files(o_.files, o_.folders, "identify");
    if (o_.json) {
        json_.emplace();
        json_->Member("catalogue", o_.catalogue);
        json_->Member("entries", catalogue_->Entries());
        json damaged = json::array();
        for (const DamagedLine& d : catalogue_->Damaged()) damaged.push_back({{"line", d.line}, {"damage", d.damage}});
        json_->Member("damagedLines", damaged);
        json_->BeginArray("files");
    }
    // The files as they are given and walked, a window of them at a time.
    StreamInOrder<FileToMatch, FileMatch>(
        o_.jobs ? o_.jobs : platform::Cores(), ToolWindow(), [&](FileToMatch& f) { return files.Next(f); },
        [&](const FileToMatch& f) { return catalogue_->Match(f.path); },
        [&](FileToMatch& f, FileMatch& m) { Emit(f, m); }, [](std::size_t) { out::Flush(); },
        [](const std::string& note) { Warn("identify", note); });
    const bool lost = files.Lost();
    if (json_) {
        json_->EndArray();
        json_->Member("summary", {{"files", counts_.files}, {"identified", counts_.identified},
                                  {"several", counts_.several}, {"unknown", counts_.unknown},
                                  {"notRead", counts_.unread}, {"neighboursOnly", counts_.neighboursOnly}});
        json_->End();
    } else if (!o_.quiet) {
        out::Flush();
        std::fputs((Summary() + "\n").c_str(), stderr);
    }
    const std::size_t identified = counts_.identified - (o_.strict ? counts_.neighboursOnly : 0);
    const bool exact = counts_.files > 0 && identified == counts_.files;
    return exact && !lost && catalogue_->Damaged().empty() ? kHolds : kFails;
}

}  // namespace

void SetupIdentify(CLI::App& app, int& status) {
    auto o = std::make_shared<IdentifyOptions>();
    CLI::App* cmd = app.add_subcommand(
        "identify", "Tells, for each FILE (and with -r each regular file under DIR), which entries of the "
                    "catalogue CATALOG hold for it: one line per file, the path, then a TAB and the name of each "
                    "entry that holds, or \"unknown\" (both escaped as in manifests); then a summary on standard "
                    "error.");
    cmd->add_option("CATALOG", o->catalogue, "the catalogue, as made by ondrel make --catalog; - for standard input")
        ->required()
        ->type_name("");
    cmd->add_option("FILE", o->files, "the files to identify")->type_name("");
    cmd->add_option("-r,--recursive", o->folders, "also every regular file under DIR (repeatable)")
        ->type_name("DIR")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::Option* quiet = cmd->add_flag("-q,--quiet", o->quiet, "print nothing; the exit status tells");
    cmd->add_flag("--json", o->json, "print one JSON object: the files, each with the names that hold, and a summary")
        ->excludes(quiet);
    cmd->add_flag("--strict", o->strict, "a file matched only through an entry made --against a few files (marked "
                                         "\"#against\" in the catalogue) is not identified: status 1");
    cmd->add_option("-j,--jobs", o->jobs, "files to identify at once (default: one per core)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u).description(""));
    cmd->footer(
        "A catalogue is a text file of named check lists, one line each: the name, a TAB, the check list, with "
        "the escapes of manifests (\\\\ \\t \\n \\r); lines starting with # are comments, CR LF line ends and a "
        "UTF-8 byte-order mark are read as well, and a damaged line (no TAB, a bad escape, no name, no list, a "
        "name given before) is said with its line number. ondrel make --catalog NAME FILE writes a line; with "
        "--against it writes \"#against<TAB>N\" before it, as the list tells FILE only from those N files: a "
        "file matched through such an entry alone is said on standard error (\"neighboursOnly\" in --json), "
        "since an unknown build may match it too, and --strict does not count it as identified.\n"
        "Each file is checked only against the entries whose list requires its size (FILESIZE=N) and those "
        "that require none, with the library's engine; what each rule computes from a file is computed once "
        "for all of them. A path that leads to no regular file is said, and is not identified.\n"
        "When CATALOG.index, written by ondrel catalog index, is beside the catalogue and fresh, the catalogue is "
        "read through it, in place: only the lines of each file's candidates are read. A stale, damaged or "
        "truncated index, or one of another version, is said once on standard error (unless -q) and not used: "
        "the catalogue is read whole. The results are the same either way.\n"
        "Exit status: 0 every file was identified by exactly one entry; 1 a file is unknown, is identified by "
        "several entries or could not be read, a catalogue line is damaged, or a folder could not be walked "
        "in full; 2 a usage error, a catalogue that cannot be read, or a failed write.");
    cmd->callback([o, &status] {
        if (o->files.empty() && o->folders.empty()) {
            Warn("identify", "give FILE... or -r DIR");
            status = kUsage;
            return;
        }
        status = IdentifyRun(*o).Run();
    });
}

}  // namespace ondrel::tool
