#pragma once
// The walk of make --manifest: every regular file under a folder, in name
// order, and what could not be walked, each said as it is met.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/command_services.h"

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
// One file at a time: what it holds is the listings of the folders from the
// root down to the one walked, never the files already given.
class TreeWalk {
public:
    // Nothing is read before the first Next; what cannot be walked is
    // reported as the walk meets it, before the file that follows it.
    TreeWalk(std::string root, std::function<void(const WalkIssue&)> report);

    // The next file; false when the walk is over.
    bool Next(WalkedFile& file);

private:
    struct Frame {
        std::string path;
        std::string relative;
        std::vector<platform::FolderEntry> entries;
        std::size_t next = 0;
    };
    void Enter(std::string path, std::string relative);

    std::string root_;
    std::function<void(const WalkIssue&)> report_;
    std::vector<Frame> stack_;
    bool started_ = false;
};

// The whole walk at once, for callers that want every file in hand.
std::vector<WalkedFile> WalkTree(const std::string& root, const std::function<void(const WalkIssue&)>& report);

}  // namespace ondrel::tool
