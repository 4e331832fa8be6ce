#pragma once
// The digest caches of the "MD5" and "SECMD5" rules: per file name, the
// digest of the file that name led to, with that file's identity. A digest
// is used again only while the name still leads to a file of that identity,
// so the caches change the speed of a call and never its answer.
//
// Names are keys as the system compares them: ignoring letter case as the
// user's locale does on Windows (CompareStringA), byte for byte on POSIX.
// Overlapping calls share the caches safely: every find and store takes the
// cache's lock, and the work of digesting a file is done outside it.
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/file.h"
#include "platform/lock.h"

namespace ondrel {

class DigestCache {
public:
    DigestCache() = default;
    DigestCache(const DigestCache&) = delete;
    DigestCache& operator=(const DigestCache&) = delete;

    // The digest stored for the name, when it was computed from a file of
    // that identity; nothing otherwise.
    std::optional<std::string> Find(const std::string& fileName, const platform::FileIdentity& now) const;
    // Stores the digest of the file of that identity under the name,
    // replacing what the name held.
    void Store(const std::string& fileName, const platform::FileIdentity& identity, std::string digest);

private:
    struct Entry {
        platform::FileIdentity identity;
        std::string digest;
    };
    mutable platform::Lock lock_;
    std::unordered_map<std::string, Entry> entries_;  // by platform::FileNameKey
};

struct DigestCaches {
    DigestCache files;     // "MD5"
    DigestCache sections;  // "SECMD5"
};

// A digest as computed from a file, with the identity of the file when
// everything the digest covers was read from it and it did not change
// meanwhile: only such a digest of a whole file may be stored.
struct ComputedDigest {
    std::string text;
    std::optional<platform::FileIdentity> readFrom;
};

// The digest for a rule: without a cache, compute().text. With one, the
// stored digest when the name still leads to the file it was computed from;
// else compute() runs (outside the cache's lock) and its text is stored when
// it was read in full from the file the name led to before, and that file was
// neither modified nor changed within the last two seconds (it could change
// again without its identity changing, see platform::ChangedRecently).
// Throws what compute() throws, and ResourcesExhausted or std::bad_alloc.
template <typename Compute>
std::string CachedDigest(DigestCache* cache, const std::string& fileName, Compute compute) {
    if (!cache) return compute().text;
    const std::optional<platform::FileIdentity> now = platform::IdentityOf(fileName);
    if (now)
        if (std::optional<std::string> found = cache->Find(fileName, *now)) return std::move(*found);
    ComputedDigest computed = compute();
    if (now && computed.readFrom == now && !platform::ChangedRecently(*now))
        cache->Store(fileName, *now, computed.text);
    return std::move(computed.text);
}

// The caches of the process: created empty when the library is attached
// (or on first use where nothing attaches it, as in a program linked with
// the engine), released when it is unloaded.
void CreateCaches();
DigestCaches& ProcessCaches();
// For tests only (the library exports nothing but AdvancedCheck): forgets
// every entry, as if the library had just been loaded. No call may be
// running then.
void ResetCachesForTests() noexcept;

}  // namespace ondrel
