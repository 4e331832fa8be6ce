#pragma once
// What identify and catalog check share: the catalogue read and its
// damaged lines said, and the files named on the command line or walked.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/catalog/catalog_index.h"

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
// order; what the walks lose is said, and lost set.
std::vector<FileToMatch> FilesToMatch(const std::vector<std::string>& files, const std::vector<std::string>& folders,
                                      std::string_view subcommand, bool& lost);

}  // namespace ondrel::tool
