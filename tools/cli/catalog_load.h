#pragma once
// What identify and catalog check share: the catalogue read and its
// damaged lines said, and the files named on the command line or walked.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/catalog/catalog_index.h"
#include "tools/manifest/tree_walk.h"

namespace ondrel::tool {

// The catalogue, through its index when that is fresh (see
// IndexedCatalogue::Open), else read whole, with each damaged line said on
// standard error (with its line number) unless quiet; nothing when it cannot
// be read (said). An index that is there but not used is said unless
// silent, once: the text is read instead.
std::optional<LoadedCatalogue> LoadCatalogue(const std::string& name, std::string_view subcommand, bool quiet,
                                             bool silent);

struct FileToMatch {
    std::string path;   // as the checks open it
    std::string shown;  // as printed: "/" between folders
};

// The files given, then every regular file under each folder, in name
// order, one at a time: a folder is walked as its files are asked for. What
// the walks lose is said on standard error as it is met.
class FilesToMatchSource {
public:
    FilesToMatchSource(std::vector<std::string> files, std::vector<std::string> folders, std::string_view subcommand);
    FilesToMatchSource(const FilesToMatchSource&) = delete;  // the walk reports to this object
    FilesToMatchSource& operator=(const FilesToMatchSource&) = delete;

    // The next file; false when every file and folder has been given.
    bool Next(FileToMatch& file);
    // Whether a walk so far lost a file or folder.
    bool Lost() const noexcept { return lost_; }

private:
    std::vector<std::string> files_;
    std::vector<std::string> folders_;
    std::string subcommand_;
    std::size_t nextFile_ = 0;
    std::size_t nextFolder_ = 0;
    std::optional<TreeWalk> walk_;
    bool lost_ = false;
};

// The same, all at once; lost set when a walk lost something.
std::vector<FileToMatch> FilesToMatch(const std::vector<std::string>& files, const std::vector<std::string>& folders,
                                      std::string_view subcommand, bool& lost);

}  // namespace ondrel::tool
