// The walk of make --manifest.
#include "tools/tree_walk.h"

#include "tools/system.h"

namespace ondrel::tool {

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
bool EndsWithSeparator(const std::string& p) { return !p.empty() && (p.back() == '\\' || p.back() == '/' || p.back() == ':'); }
#else
constexpr char kSeparator = '/';
bool EndsWithSeparator(const std::string& p) { return !p.empty() && p.back() == '/'; }
#endif

struct Frame {
    std::string path;
    std::string relative;
    std::vector<FolderEntry> entries;
    std::size_t next = 0;
};

Frame Enter(const std::string& path, const std::string& relative, const std::function<void(const WalkIssue&)>& report) {
    Frame frame{path, relative, {}, 0};
    std::string why;
    frame.entries = ListFolder(path, why);
    if (!why.empty()) report({path, "the folder cannot be read (" + why + ")", true});
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
        const FolderEntry& e = frame.entries[frame.next++];
        const std::string path = frame.path + (EndsWithSeparator(frame.path) ? "" : std::string(1, kSeparator)) + e.name;
        const std::string relative = frame.relative.empty() ? e.name : frame.relative + "/" + e.name;
        using Kind = FolderEntry::Kind;
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
