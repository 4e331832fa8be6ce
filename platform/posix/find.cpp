#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include "platform/file.h"
#include "platform/find.h"
#include "platform/text.h"
#include "platform/wildcard.h"

namespace ondrel::platform {

namespace {

struct DirCloser {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

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
    // A failure of the process's own resources is not a missing file.
    auto failed = [] {
        ThrowIfExhausted(OpenFailureOfError(static_cast<unsigned long>(errno)));
        return std::nullopt;
    };
    if (last.find_first_of("*?") == std::string::npos) {
        if (fileName.empty()) return std::nullopt;
        if (stat(fileName.c_str(), &st) != 0) return failed();
        return EntryOf(st);
    }
    Directory d(opendir(dir.c_str()));
    if (!d) return failed();
    UpperCaseAnsi(last);  // letter case is ignored, as the Windows search ignores it
    WildcardMatcher matcher(last);
    std::string upper;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d.get());
        if (!e) {
            if (errno != 0) return failed();
            return std::nullopt;
        }
        upper = e->d_name;
        UpperCaseAnsi(upper);
        if (!matcher.Match(upper)) continue;
        std::string path = slash == std::string::npos ? std::string(e->d_name) : dir + e->d_name;
        if (stat(path.c_str(), &st) != 0) {
            ThrowIfExhausted(OpenFailureOfError(static_cast<unsigned long>(errno)));
            continue;
        }
        return EntryOf(st);
    }
}

}  // namespace ondrel::platform
