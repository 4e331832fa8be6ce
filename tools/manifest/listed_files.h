#pragma once
// What a manifest lists, kept for verify --new: the roots its file lines
// start from and, for each file, a 64-bit hash of its root and its path,
// so that the memory this takes grows with the manifest and not with the
// names. A walk of each root then tells the files the manifest leaves out.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace ondrel::tool {

// A path of a manifest as the walk of its root gives it: "/" between
// folders, with the "." segments dropped ("./a" and "a/./b" are "a" and
// "a/b"); ".." and everything else are kept as written, so that such a path
// matches no walked file.
std::string ComparablePath(std::string_view path);

// Where the root inner lies below the root outer, taken as text: the path
// from one to the other ("sub" for "tree" and "tree/sub", "tree" for the
// current folder "" and "tree"); nothing when it does not, or is outer.
std::optional<std::string> RootBelow(const std::string& outer, const std::string& inner);

class ListedFiles {
public:
    // A file line: the folder its path starts from (as PathToCheck resolves
    // it with an empty path) and the path as written.
    void Add(const std::string& root, std::string_view path);
    // Whether a walked file (its path relative to root, "/" between names)
    // is listed, under root or under another root above or below it.
    bool Has(const std::string& root, std::string_view relative) const;
    // Whether another root holds this one: its walk meets these files too.
    bool InsideAnother(const std::string& root) const;
    // The distinct roots, in the order they were first met.
    const std::vector<std::string>& Roots() const noexcept { return roots_; }

private:
    std::unordered_set<std::uint64_t> hashes_;
    std::vector<std::string> roots_;
};

}  // namespace ondrel::tool
