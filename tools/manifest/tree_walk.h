#pragma once
// The walk of make --manifest: every regular file under a folder, in name
// order, and what could not be walked, each said as it is met.
#include <functional>
#include <string>
#include <vector>

namespace ondrel::tool {

struct WalkedFile {
    std::string path;      // as the checks open it: the root as given, then the names walked
    std::string relative;  // from the root, with "/" between names
};

struct WalkIssue {
    std::string path;
    std::string what;
    bool fails = false;  // a file may have been lost: the command ends with status 1
};

// Folders are entered as they are met among their siblings; links to
// files are taken, links to folders are not followed. Nothing is tidied:
// the paths are the root as given and the names as the folders list them.
std::vector<WalkedFile> WalkTree(const std::string& root, const std::function<void(const WalkIssue&)>& report);

}  // namespace ondrel::tool
