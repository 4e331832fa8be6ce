#include "checks/caches.h"

#include <atomic>
#include <memory>

#include "platform/text.h"

namespace ondrel {

namespace {

// Created at most once however many calls ask for the caches at once. The
// owner is changed under the lock only, and releases the caches when the
// library is unloaded; calls read them through the atomic pointer.
constinit platform::Lock g_createLock;
std::unique_ptr<DigestCaches> g_owner;
std::atomic<DigestCaches*> g_caches{nullptr};

}  // namespace

std::optional<std::string> DigestCache::Find(const std::string& fileName, const platform::FileIdentity& now) const {
    const std::string key = platform::FileNameKey(fileName);
    platform::LockHold hold(lock_);
    const auto found = entries_.find(key);
    if (found == entries_.end() || !(found->second.identity == now)) return std::nullopt;
    return found->second.digest;
}

void DigestCache::Store(const std::string& fileName, const platform::FileIdentity& identity, std::string digest) {
    std::string key = platform::FileNameKey(fileName);
    platform::LockHold hold(lock_);
    Entry& entry = entries_[std::move(key)];
    entry.identity = identity;
    entry.digest = std::move(digest);
}

void CreateCaches() {
    if (g_caches.load(std::memory_order_acquire)) return;
    platform::LockHold hold(g_createLock);
    if (g_owner) return;
    g_owner = std::make_unique<DigestCaches>();
    g_caches.store(g_owner.get(), std::memory_order_release);
}

DigestCaches& ProcessCaches() {
    CreateCaches();
    return *g_caches.load(std::memory_order_acquire);
}

void ResetCachesForTests() noexcept {
    platform::LockHold hold(g_createLock);
    g_caches.store(nullptr, std::memory_order_release);
    g_owner.reset();
}

}  // namespace ondrel
