// The walk of make --manifest.
#include "tools/manifest/tree_walk.h"

#include <utility>

#include "platform/path.h"

namespace ondrel::tool {

using platform::EndsWithSeparator;
using platform::kPathSeparator;

namespace {

// A folder's path, the separator (none when '\0') and a name, in a string of
// just that size: callers that keep every file keep no slack.
std::string Joined(const std::string& folder, char separator, const std::string& name) {
    std::string joined;
    joined.reserve(folder.size() + 1 + name.size());
    joined += folder;
    if (separator) joined += separator;
    joined += name;
    return joined;
}

}  // namespace

TreeWalk::TreeWalk(std::string root, std::function<void(const WalkIssue&)> report)
    : root_(std::move(root)), report_(std::move(report)) {}

void TreeWalk::Enter(std::string path, std::string relative) {
    platform::FolderListing listing = platform::ListFolder(path);
    if (listing.failed) report_({path, "the folder cannot be read (" + listing.failed->text + ")", true});
    stack_.push_back({std::move(path), std::move(relative), std::move(listing.entries), 0});
}

bool TreeWalk::Next(WalkedFile& file) {
    if (!started_) {
        started_ = true;
        Enter(root_, {});
    }
    while (!stack_.empty()) {
        Frame& frame = stack_.back();
        if (frame.next == frame.entries.size()) {
            stack_.pop_back();
            continue;
        }
        const platform::FolderEntry& e = frame.entries[frame.next++];
        std::string path = Joined(frame.path, EndsWithSeparator(frame.path) ? '\0' : kPathSeparator, e.name);
        std::string relative = frame.relative.empty() ? e.name : Joined(frame.relative, '/', e.name);
        using Kind = platform::FolderEntry::Kind;
        switch (e.kind) {
            case Kind::File:
                file.path = std::move(path);
                file.relative = std::move(relative);
                return true;
            case Kind::Folder: Enter(std::move(path), std::move(relative)); break;  // frame is no longer valid
            case Kind::LinkToFolder: report_({path, "a link to a folder, not followed", false}); break;
            case Kind::DanglingLink: report_({path, "a link that leads to nothing", true}); break;
            case Kind::Other: report_({path, "not a regular file, left out", false}); break;
            case Kind::Unnamable: report_({path, "its name holds characters outside the ANSI code page", true}); break;
        }
    }
    return false;
}

std::vector<WalkedFile> WalkTree(const std::string& root, const std::function<void(const WalkIssue&)>& report) {
    std::vector<WalkedFile> files;
    TreeWalk walk(root, report);
    for (WalkedFile f; walk.Next(f);) files.push_back(std::move(f));
    return files;
}

}  // namespace ondrel::tool
