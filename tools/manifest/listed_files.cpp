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

}  // namespace

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
    return hashes_.count(HashOf(root, relative)) != 0;
}

}  // namespace ondrel::tool
