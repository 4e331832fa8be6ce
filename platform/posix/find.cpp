#include <dirent.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>

#include "platform/find.h"

namespace ondrel::platform {

namespace {

struct DirCloser {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

// "*" matches any run of characters, "?" any one character; the rest matches itself.
bool WildcardMatch(const char* pattern, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

// An MS-DOS date covers 1980-01-01 to 2107-12-31, in local time.
bool IsDosTime(std::time_t t) {
    std::tm local{};
    if (!localtime_r(&t, &local)) return false;
    int year = local.tm_year + 1900;
    return year >= 1980 && year <= 2107;
}

DirectoryEntry EntryOf(const struct stat& st) {
    DirectoryEntry entry;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.sizeLow = entry.isDirectory ? 0 : static_cast<std::uint32_t>(st.st_size);
    entry.hasDosTime = IsDosTime(st.st_mtime);
    return entry;
}

}  // namespace

std::optional<DirectoryEntry> FindFirstEntry(const std::string& fileName) {
    std::size_t slash = fileName.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : fileName.substr(0, slash + 1);
    std::string last = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    struct stat st{};
    if (last.find_first_of("*?") == std::string::npos) {
        if (fileName.empty() || stat(fileName.c_str(), &st) != 0) return std::nullopt;
        return EntryOf(st);
    }
    Directory d(opendir(dir.c_str()));
    if (!d) return std::nullopt;
    while (dirent* e = readdir(d.get())) {
        if (!WildcardMatch(last.c_str(), e->d_name)) continue;
        std::string path = slash == std::string::npos ? std::string(e->d_name) : dir + e->d_name;
        if (stat(path.c_str(), &st) != 0) continue;
        return EntryOf(st);
    }
    return std::nullopt;
}

}  // namespace ondrel::platform
