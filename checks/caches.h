#pragma once
// The process-wide digest caches: append-only lists of entries
// file name, "=", digest, searched by the text before an entry's first "="
// without regard to letter case.
#include <optional>
#include <string>
#include <vector>

namespace ondrel {

class DigestCache {
public:
    // The digest of the first entry whose key equals the file name, ignoring
    // case as the user's locale does; nothing when no entry matches.
    std::optional<std::string> Find(const std::string& fileName) const;
    // Adds the entry file name, "=", digest at the end.
    void Append(const std::string& fileName, const std::string& digest);
    std::size_t Size() const noexcept { return entries_.size(); }

private:
    std::vector<std::string> entries_;
};

// The digest stored for the file name, or else the one compute() gives,
// which is then appended under the file name (whatever it is).
template <typename Compute>
std::string CachedDigest(DigestCache& cache, const std::string& fileName, Compute compute) {
    if (std::optional<std::string> found = cache.Find(fileName)) return *found;
    std::string digest = compute();
    cache.Append(fileName, digest);
    return digest;
}

// Created empty when the library is attached to a process (or on first use
// where nothing attaches it, as in a program linked with the engine).
void CreateCaches();
// Releases both caches when the library is unloaded from a running process.
void DestroyCaches() noexcept;
DigestCache& FileDigestCache();
DigestCache& SectionDigestCache();

}  // namespace ondrel
