// Where the manifest make --manifest writes lies.
#include "tools/manifest/list_place.h"

#include <utility>
#include <vector>

#include "platform/path.h"

namespace ondrel::tool {

namespace {

using platform::IsPathSeparator;

std::size_t LastSeparator(const std::string& name) {
    for (std::size_t i = name.size(); i-- > 0;)
        if (IsPathSeparator(name[i])) return i;
    return std::string::npos;
}

bool IsOutput(const std::string& path, const platform::FileKey& output) {
    const std::optional<platform::FileKey> key = platform::FileKeyOf(path);
    return key && key->SameFile(output);
}

ListPlace PlaceAt(std::string relative) {
    ListPlace place{std::move(relative), "."};
    for (char c : place.relative)
        if (c == '/') place.up = place.up == "." ? ".." : place.up + "/..";
    return place;
}

// The first file of the walk that is the output: where the system does not
// tell the output's name (Wine does not for a handle a POSIX shell gave it),
// only a walk before the walk finds it. It holds no more than the walk does.
std::optional<ListPlace> SearchedFor(const std::string& dir, const platform::FileKey& output) {
    TreeWalk walk(dir, [](const WalkIssue&) {});  // said by the walk that follows
    for (WalkedFile f; walk.Next(f);)
        if (IsOutput(f.path, output)) return PlaceAt(std::move(f.relative));
    return std::nullopt;
}

}  // namespace

std::optional<ListPlace> PlaceUnder(const std::string& dir, const std::string& full) {
    const std::optional<platform::FileKey> root = platform::FolderKeyOf(dir);
    if (!root) return std::nullopt;
    std::vector<std::string> names;  // from the file up
    std::string rest = full;
    for (;;) {
        const std::size_t cut = LastSeparator(rest);
        if (cut == std::string::npos || cut + 1 == rest.size()) return std::nullopt;
        names.push_back(rest.substr(cut + 1));
        // The top keeps its separator: "/", "C:\".
        const bool top = cut == 0 || (platform::kBackslashSeparates && rest[cut - 1] == ':');
        rest.resize(top ? cut + 1 : cut);
        const std::optional<platform::FileKey> key = platform::FolderKeyOf(rest);
        if (key && key->SameFile(*root)) break;
        if (top) return std::nullopt;
    }
    std::string relative;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (!relative.empty()) relative += '/';
        relative += *name;
    }
    return PlaceAt(std::move(relative));
}

std::optional<ListPlace> WhereTheListGoes(const std::string& dir) {
    const std::optional<platform::FileKey> output = platform::StandardOutputFile();
    const std::optional<std::string> full = platform::StandardOutputPath();
    if (!output || !full) return std::nullopt;
    std::optional<ListPlace> place = PlaceUnder(dir, *full);
    if (!place) return std::nullopt;
    // The walk will take it by this name: it must lead to the file still (not
    // deleted, not replaced since it was opened).
    std::string walked = dir;
    if (!platform::EndsWithSeparator(walked)) walked += platform::kPathSeparator;
    for (char c : place->relative) walked += c == '/' ? platform::kPathSeparator : c;
    if (!IsOutput(walked, *output)) return std::nullopt;
    return place;
}

OwnList::OwnList(const std::string& dir) : output_(platform::StandardOutputFile()) {
    if (!output_) return;
    const bool named = platform::StandardOutputPath().has_value();
    place_ = named ? WhereTheListGoes(dir) : SearchedFor(dir, *output_);
    // With one name, told by the system, it can be nowhere but at its place.
    askEveryFile_ = !named || !platform::StandardOutputHasOneName();
}

bool OwnList::Is(const WalkedFile& file) const {
    if (!output_) return false;
    if (place_ && file.relative == place_->relative) return IsOutput(file.path, *output_);
    return askEveryFile_ && IsOutput(file.path, *output_);
}

}  // namespace ondrel::tool
