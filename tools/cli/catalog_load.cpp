// The catalogue and the files of identify and catalog check.
#include "tools/cli/catalog_load.h"

#include "tools/manifest/manifest.h"
#include "tools/cli/output.h"
#include "tools/manifest/text_file.h"
#include "tools/manifest/tree_walk.h"

namespace ondrel::tool {

namespace {

std::optional<LoadedCatalogue> ReadWhole(const std::string& name, std::string_view subcommand, bool silent) {
    if (name != "-") {
        platform::Result<IndexedCatalogue, IndexRefusal> indexed = IndexedCatalogue::Open(name);
        if (indexed) return LoadedCatalogue(std::move(*indexed));
        if (!indexed.failure().absent && !silent)
            Warn(subcommand, indexed.failure().why + "; the catalogue is read whole instead (ondrel catalog index " +
                                 name + " makes it again)");
    }
    const platform::Result<std::string, platform::Reason> text = ReadText(name, "catalogue");
    if (!text) {
        Warn(subcommand, name + ": " + text.failure().text);
        return std::nullopt;
    }
    return LoadedCatalogue(ParseCatalogue(*text));
}

}  // namespace

std::optional<LoadedCatalogue> LoadCatalogue(const std::string& name, std::string_view subcommand, bool quiet,
                                             bool silent) {
    std::optional<LoadedCatalogue> catalogue = ReadWhole(name, subcommand, silent);
    if (!catalogue || quiet) return catalogue;
    for (const DamagedLine& d : catalogue->Damaged())
        Warn(subcommand, name + ":" + std::to_string(d.line) + ": damaged line: " + d.damage);
    if (catalogue->Entries() == 0) Warn(subcommand, name + ": no entry");
    return catalogue;
}

std::vector<FileToMatch> FilesToMatch(const std::vector<std::string>& files, const std::vector<std::string>& folders,
                                      std::string_view subcommand, bool& lost) {
    std::vector<FileToMatch> all;
    for (const std::string& f : files) all.push_back({f, PortablePath(f)});
    for (const std::string& folder : folders) {
        for (WalkedFile& f : WalkTree(folder, [&](const WalkIssue& i) {
                 Warn(subcommand, i.path + ": " + i.what);
                 if (i.fails) lost = true;
             })) {
            std::string shown = PortablePath(f.path);
            all.push_back({std::move(f.path), std::move(shown)});
        }
    }
    return all;
}

}  // namespace ondrel::tool
