#include "checks/caches.h"

#include <atomic>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "platform/text.h"

namespace ondrel {

namespace {

struct Caches {
    DigestCache files;
    DigestCache sections;
};

// Created at most once however many calls ask for the caches at once. The
// owner is changed under the lock only, and releases the caches when the
// library is unloaded; calls read them through the atomic pointer.
constinit platform::Lock g_createLock;
std::unique_ptr<Caches> g_owner;
std::atomic<Caches*> g_caches{nullptr};

Caches& TheCaches() {
    CreateCaches();
    return *g_caches.load(std::memory_order_acquire);
}

// Positions are kept in 32 bits, beside a 32-bit hash.
constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint32_t>::max() - 1;

// The entry file name, "=", digest, in a block of its own size: entries
// live as long as the library.
std::string EntryText(const std::string& fileName, const std::string& digest) {
    std::string entry;
    entry.reserve(fileName.size() + 1 + digest.size());
    entry += fileName;
    entry += '=';
    entry += digest;
    return entry;
}

}  // namespace

std::uint32_t KeyIndex::HashOf(std::string_view text) {
    // FNV-1a over the case-free form, then mixed so that the low bits,
    // which pick the slot, depend on every byte.
    std::uint32_t hash = 2166136261u;
    for (const char c : platform::TextKeyIgnoringCase(text)) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    hash ^= hash >> 16;
    hash *= 0x85EBCA6Bu;
    hash ^= hash >> 13;
    hash *= 0xC2B2AE35u;
    hash ^= hash >> 16;
    return hash;
}

std::optional<std::size_t> KeyIndex::Find(std::string_view text, std::uint32_t hash,
                                          const std::deque<std::string>& entries) const noexcept {
    if (slots_.empty()) return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.positionPlusOne == 0) return std::nullopt;
        const std::size_t position = slot.positionPlusOne - 1u;
        // The hash only narrows the search; the comparison decides.
        if (slot.hash == hash && platform::SameTextIgnoringCase(KeyOf(entries[position]), text)) return position;
    }
}

void KeyIndex::Reserve() {
    if ((count_ + 1) * 4 <= slots_.size() * 3) return;
    std::vector<Slot> grown(slots_.empty() ? 16 : slots_.size() * 2);
    const std::size_t mask = grown.size() - 1;
    for (const Slot& slot : slots_) {
        if (slot.positionPlusOne == 0) continue;
        std::size_t i = slot.hash & mask;
        while (grown[i].positionPlusOne != 0) i = (i + 1) & mask;
        grown[i] = slot;
    }
    slots_ = std::move(grown);
}

void KeyIndex::AddLast(std::uint32_t keyHash, const std::deque<std::string>& entries) noexcept {
    const std::size_t position = entries.size() - 1;
    const std::string_view key = KeyOf(entries[position]);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = keyHash & mask;
    for (; slots_[i].positionPlusOne != 0; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.hash == keyHash && platform::SameTextIgnoringCase(KeyOf(entries[slot.positionPlusOne - 1u]), key))
            return;
    }
    slots_[i] = Slot{keyHash, static_cast<std::uint32_t>(position + 1)};
    ++count_;
}

DigestCache::Name::Name(const std::string& fileName)
    : text(fileName), hash(KeyIndex::HashOf(fileName)), keyHash(hash) {
    const std::string_view key = KeyIndex::KeyOf(fileName);
    if (key.size() != fileName.size()) keyHash = KeyIndex::HashOf(key);
}

std::optional<std::size_t> DigestCache::FindLocked(const Name& name) const {
    return index_.Find(name.text, name.hash, entries_);
}

std::optional<std::string> DigestCache::Find(const Name& name) const {
    platform::LockHold hold(lock_);
    const std::optional<std::size_t> position = FindLocked(name);
    if (!position) return std::nullopt;
    const std::string& entry = entries_[*position];
    return entry.substr(KeyIndex::KeyOf(entry).size() + 1);
}

void DigestCache::AppendLocked(std::string entry, std::uint32_t keyHash) {
    if (entries_.size() >= kMaxEntries) throw std::bad_alloc();
    // Everything that can fail comes first: a failed append leaves the list
    // and the index as they were.
    index_.Reserve();
    entries_.push_back(std::move(entry));
    index_.AddLast(keyHash, entries_);
}

void DigestCache::Append(const std::string& fileName, const std::string& digest) {
    const Name name(fileName);
    std::string entry = EntryText(fileName, digest);
    platform::LockHold hold(lock_);
    AppendLocked(std::move(entry), name.keyHash);
}

bool DigestCache::AppendIfMissing(const Name& name, const std::string& digest) {
    std::string entry = EntryText(name.text, digest);
    platform::LockHold hold(lock_);
    if (FindLocked(name)) return false;
    AppendLocked(std::move(entry), name.keyHash);
    return true;
}

std::size_t DigestCache::Size() const noexcept {
    platform::LockHold hold(lock_);
    return entries_.size();
}

void CreateCaches() {
    if (g_caches.load(std::memory_order_acquire)) return;
    platform::LockHold hold(g_createLock);
    if (g_owner) return;
    g_owner = std::make_unique<Caches>();
    g_caches.store(g_owner.get(), std::memory_order_release);
}

void ResetCachesForTests() noexcept {
    platform::LockHold hold(g_createLock);
    g_caches.store(nullptr, std::memory_order_release);
    g_owner.reset();
}

DigestCache& FileDigestCache() { return TheCaches().files; }
DigestCache& SectionDigestCache() { return TheCaches().sections; }

}  // namespace ondrel
