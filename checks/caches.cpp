#include "checks/caches.h"

#include "platform/text.h"

namespace ondrel {

namespace {

struct Caches {
    DigestCache files;
    DigestCache sections;
};

Caches* g_caches = nullptr;

Caches& TheCaches() {
    CreateCaches();
    return *g_caches;
}

}  // namespace

std::optional<std::string> DigestCache::Find(const std::string& fileName) const {
    for (const std::string& entry : entries_) {
        std::size_t equals = entry.find('=');
        if (equals == std::string::npos) continue;
        if (platform::SameTextIgnoringCase(entry.substr(0, equals), fileName)) return entry.substr(equals + 1);
    }
    return std::nullopt;
}

void DigestCache::Append(const std::string& fileName, const std::string& digest) {
    entries_.push_back(fileName + "=" + digest);
}

void CreateCaches() {
    if (!g_caches) g_caches = new Caches();
}

void DestroyCaches() noexcept {
    delete g_caches;
    g_caches = nullptr;
}

DigestCache& FileDigestCache() { return TheCaches().files; }
DigestCache& SectionDigestCache() { return TheCaches().sections; }

}  // namespace ondrel
