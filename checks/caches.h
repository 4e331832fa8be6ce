#pragma once
// The process-wide digest caches: append-only lists of entries
// file name, "=", digest, searched by the text before an entry's first "="
// without regard to letter case.
//
// Overlapping calls share them safely: every find and append takes the
// cache's lock, and the work of digesting a file is done outside it.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/lock.h"

namespace ondrel {

// Where the entries with a given key sit, so that a find costs the same for
// any number of entries. For each set of keys that are equal ignoring case
// it holds the position of the first entry of that set in the list (the one
// a scan from the first entry finds), under the hash of the keys' common
// case-free form. Entries are texts key, "=", digest.
class KeyIndex {
public:
    // The hash under which a text and every text equal to it ignoring case
    // are indexed. Throws std::bad_alloc.
    static std::uint32_t HashOf(std::string_view text);
    // The key of an entry: the text before its first "=".
    static std::string_view KeyOf(std::string_view entry) noexcept { return entry.substr(0, entry.find('=')); }

    // The position of the indexed entry whose key equals text, or nothing.
    std::optional<std::size_t> Find(std::string_view text, std::uint32_t hash,
                                     const std::deque<std::string>& entries) const noexcept;
    // Room for one more position, so that AddLast cannot fail. Throws std::bad_alloc.
    void Reserve();
    // Adds the last entry's position under its key's hash, unless an entry
    // with a key equal to it is indexed already (the earlier entry wins).
    // Needs a Reserve before.
    void AddLast(std::uint32_t keyHash, const std::deque<std::string>& entries) noexcept;

private:
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t positionPlusOne = 0;  // 0: the slot is free
    };
    std::vector<Slot> slots_;  // a power of two long, at most three quarters used
    std::size_t count_ = 0;
};

class DigestCache {
public:
    // A file name with the hashes a find and an append need, made before
    // the lock is taken.
    struct Name {
        explicit Name(const std::string& fileName);
        const std::string& text;
        std::uint32_t hash;     // of the whole name, for finding
        std::uint32_t keyHash;  // of the name's key, the part before its first "="
    };

    DigestCache() = default;
    DigestCache(const DigestCache&) = delete;
    DigestCache& operator=(const DigestCache&) = delete;

    // The digest of the first entry whose key equals the file name, ignoring
    // case as the user's locale does; nothing when no entry matches.
    std::optional<std::string> Find(const std::string& fileName) const { return Find(Name(fileName)); }
    std::optional<std::string> Find(const Name& name) const;
    // Adds the entry file name, "=", digest at the end.
    void Append(const std::string& fileName, const std::string& digest);
    // As Append, unless an entry for the name is found by then (appended by
    // an overlapping call since this call's find): one entry per name, the
    // first appended wins. True when appended.
    bool AppendIfMissing(const Name& name, const std::string& digest);
    std::size_t Size() const noexcept;

private:
    std::optional<std::size_t> FindLocked(const Name& name) const;
    void AppendLocked(std::string entry, std::uint32_t keyHash);

    mutable platform::Lock lock_;
    std::deque<std::string> entries_;  // grows without moving what it holds
    KeyIndex index_;
};

// The digest stored for the file name, or else the one compute() gives,
// which is then appended under the file name (whatever it is). compute()
// runs outside the cache's lock; when an overlapping call appends the same
// name meanwhile, this call keeps the digest it computed and the cache
// keeps the first entry.
template <typename Compute>
std::string CachedDigest(DigestCache& cache, const std::string& fileName, Compute compute) {
    const DigestCache::Name name(fileName);
    if (std::optional<std::string> found = cache.Find(name)) return *found;
    std::string digest = compute();
    cache.AppendIfMissing(name, digest);
    return digest;
}

// Created empty when the library is attached to a process (or on first use
// where nothing attaches it, as in a program linked with the engine).
void CreateCaches();
// For tests only (the library exports nothing but AdvancedCheck): forgets
// every entry of both caches, as if the library had just been loaded. No call
// may be running then.
void ResetCachesForTests() noexcept;
DigestCache& FileDigestCache();
DigestCache& SectionDigestCache();

}  // namespace ondrel
