#include "tools/manifest/listed_files.h"

#include <algorithm>

#include "platform/name_hash.h"
#include "tools/manifest/manifest.h"

namespace ondrel::tool {

namespace {

// Root and path with a zero byte between, which neither holds. The hash's
// bases are picked at random per run, so no name can be made to pass for
// another listed one; two of n names collide with a chance below n / 2^60.
std::uint64_t HashOf(const std::string& root, std::string_view path) {
    platform::PolynomialHash h;
    for (char c : root) h.Add(static_cast<unsigned char>(c));
    h.Add(0);
    for (char c : path) h.Add(static_cast<unsigned char>(c));
    return h.Mix();
}

// A root as text to compare: "/" between names, no "." segment, no
// separator at the end (but the top folder "/" itself).
std::string RootText(const std::string& root) {
    std::string text = ComparablePath(root);
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool Absolute(const std::string& path) {
    return (!path.empty() && path[0] == '/') || (path.size() > 1 && path[1] == ':');
}

}  // namespace

std::optional<std::string> RootBelow(const std::string& outer, const std::string& inner) {
    const std::string o = RootText(outer), i = RootText(inner);
    if (o == i) return std::nullopt;
    if (o.empty()) {  // the current folder holds every relative root that does not go up
        if (Absolute(i) || i == ".." || i.rfind("../", 0) == 0) return std::nullopt;
        return i;
    }
    const bool slashEnds = o.back() == '/';
    if (i.size() <= o.size() || i.compare(0, o.size(), o) != 0 || (!slashEnds && i[o.size()] != '/'))
        return std::nullopt;
    return i.substr(o.size() + (slashEnds ? 0 : 1));
}

std::string ComparablePath(std::string_view path) {
    const std::string portable = PortablePath(std::string(path));
    std::string out;
    out.reserve(portable.size());
    bool first = true;
    for (std::size_t start = 0; start <= portable.size();) {
        std::size_t end = portable.find('/', start);
        if (end == std::string::npos) end = portable.size();
        const std::string_view segment = std::string_view(portable).substr(start, end - start);
        if (segment != ".") {
            if (!first) out += '/';
            out += segment;
            first = false;
        }
        start = end + 1;
    }
    return out;
}

void ListedFiles::Add(const std::string& root, std::string_view path) {
    // Lines of one root come together: the last one is almost always it.
    if (roots_.empty() || roots_.back() != root)
        if (std::find(roots_.begin(), roots_.end(), root) == roots_.end()) roots_.push_back(root);
    hashes_.insert(HashOf(root, ComparablePath(path)));
}

bool ListedFiles::Has(const std::string& root, std::string_view relative) const {
    if (hashes_.count(HashOf(root, relative))) return true;
    // Roots one inside another ("#root tree", later "#root tree/sub"): a
    // file may be listed from either.
    for (const std::string& other : roots_) {
        if (other == root) continue;
        if (RootText(other) == RootText(root)) {  // "tree" and "tree/"
            if (hashes_.count(HashOf(other, relative))) return true;
        } else if (const std::optional<std::string> down = RootBelow(root, other)) {
            if (relative.size() > down->size() && relative.compare(0, down->size(), *down) == 0 &&
                relative[down->size()] == '/' && hashes_.count(HashOf(other, relative.substr(down->size() + 1))))
                return true;
        } else if (const std::optional<std::string> up = RootBelow(other, root)) {
            if (hashes_.count(HashOf(other, *up + "/" + std::string(relative)))) return true;
        }
    }
    return false;
}

bool ListedFiles::InsideAnother(const std::string& root) const {
    const auto at = std::find(roots_.begin(), roots_.end(), root);
    for (auto other = roots_.begin(); other != roots_.end(); ++other) {
        if (other == at) continue;
        // The same folder written twice is walked where it is first met.
        if (RootBelow(*other, root) || (other < at && RootText(*other) == RootText(root))) return true;
    }
    return false;
}

}  // namespace ondrel::tool
