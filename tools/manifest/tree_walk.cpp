// The walk of make --manifest.
#include "tools/manifest/tree_walk.h"

#include "platform/command_services.h"
#include "platform/path.h"

namespace ondrel::tool {

namespace {

using platform::EndsWithSeparator;
using platform::kPathSeparator;

struct Frame {
    std::string path;
    std::string relative;
    std::vector<platform::FolderEntry> entries;
    std::size_t next = 0;
};

Frame Enter(const std::string& path, const std::string& relative, const std::function<void(const WalkIssue&)>& report) {
    Frame frame{path, relative, {}, 0};
    platform::FolderListing listing = platform::ListFolder(path);
    frame.entries = std::move(listing.entries);
    if (listing.failed) report({path, "the folder cannot be read (" + listing.failed->text + ")", true});
    return frame;
}

}  // namespace

std::vector<WalkedFile> WalkTree(const std::string& root, const std::function<void(const WalkIssue&)>& report) {
    std::vector<WalkedFile> files;
    std::vector<Frame> stack;
    stack.push_back(Enter(root, {}, report));
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            stack.pop_back();
            continue;
        }
        const platform::FolderEntry& e = frame.entries[frame.next++];
        const std::string path = frame.path + (EndsWithSeparator(frame.path) ? "" : std::string(1, kPathSeparator)) + e.name;
        const std::string relative = frame.relative.empty() ? e.name : frame.relative + "/" + e.name;
        using Kind = platform::FolderEntry::Kind;
        switch (e.kind) {
            case Kind::File: files.push_back({path, relative}); break;
            case Kind::Folder: stack.push_back(Enter(path, relative, report)); break;
            case Kind::LinkToFolder: report({path, "a link to a folder, not followed", false}); break;
            case Kind::DanglingLink: report({path, "a link that leads to nothing", true}); break;
            case Kind::Other: report({path, "not a regular file, left out", false}); break;
            case Kind::Unnamable: report({path, "its name holds characters outside the ANSI code page", true}); break;
        }
    }
    return files;
}

}  // namespace ondrel::tool
