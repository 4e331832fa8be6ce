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

FilesToMatchSource::FilesToMatchSource(std::vector<std::string> files, std::vector<std::string> folders,
                                       std::string_view subcommand)
    : files_(std::move(files)), folders_(std::move(folders)), subcommand_(subcommand) {}

bool FilesToMatchSource::Next(FileToMatch& file) {
    if (nextFile_ < files_.size()) {
        file.path = files_[nextFile_++];
        file.shown = PortablePath(file.path);
        return true;
    }
    for (WalkedFile walked;;) {
        if (walk_ && walk_->Next(walked)) {
            file.shown = PortablePath(walked.path);
            file.path = std::move(walked.path);
            return true;
        }
        walk_.reset();
        if (nextFolder_ == folders_.size()) return false;
        walk_.emplace(folders_[nextFolder_++], [this](const WalkIssue& i) {
            Warn(subcommand_, i.path + ": " + i.what);
            if (i.fails) lost_ = true;
        });
    }
}

std::vector<FileToMatch> FilesToMatch(const std::vector<std::string>& files, const std::vector<std::string>& folders,
                                      std::string_view subcommand, bool& lost) {
    std::vector<FileToMatch> all;
    FilesToMatchSource source(files, folders, subcommand);
    for (FileToMatch f; source.Next(f);) all.push_back(std::move(f));
    if (source.Lost()) lost = true;
    return all;
}

}  // namespace ondrel::tool
