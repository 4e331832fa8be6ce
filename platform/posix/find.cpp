#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/find.h"
#include "platform/text.h"

namespace ondrel::platform {

namespace {

struct DirCloser {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using Directory = std::unique_ptr<DIR, DirCloser>;

// Matches a name against a pattern, both upper-cased, as the directory
// search of Windows does:
//  - "*" matches any run of characters, the empty run too;
//  - "?" matches any one character but ".", and at a "." of the name or at
//    its end the rest of the run of "?" it stands in matches nothing
//    ("a.txt?" finds a.txt);
//  - a "." followed by "*" or "?", or ending the pattern, matches a "." or,
//    at the end of the name, nothing ("noext.*" and "*.*" find noext);
//  - any other character matches itself.
// The pattern is run as a set of positions over the name, a character at a
// time: time name x pattern, memory pattern, no recursion.
class Matcher {
public:
    explicit Matcher(std::string_view pattern) : pattern_(pattern), live_(pattern.size() + 1), next_(pattern.size() + 1) {}

    bool Match(std::string_view name) {
        std::fill(live_.begin(), live_.end(), false);
        live_[0] = true;
        for (std::size_t j = 0; j <= name.size(); ++j) {
            const bool ended = j == name.size();
            const char c = ended ? '\0' : name[j];
            Close(ended, c);
            if (ended) break;
            std::fill(next_.begin(), next_.end(), false);
            bool any = false;
            for (std::size_t i = 0; i < pattern_.size(); ++i) {
                if (!live_[i]) continue;
                const char p = pattern_[i];
                if (p == '*') next_[i] = any = true;  // "*" takes the character and stays
                else if ((p == '?' && c != '.') || p == c) next_[i + 1] = any = true;
            }
            if (!any) return false;
            live_.swap(next_);
        }
        return live_[pattern_.size()];
    }

private:
    // Adds the positions reached without taking a character, before the
    // character c (or the end of the name). Every such step goes forward,
    // so one pass in pattern order reaches them all.
    void Close(bool ended, char c) {
        for (std::size_t i = 0; i < pattern_.size(); ++i) {
            if (!live_[i]) continue;
            const char p = pattern_[i];
            const bool atDotOrEnd = ended || c == '.';
            if (p == '*') {
                live_[i + 1] = true;
            } else if (p == '?' && atDotOrEnd) {
                std::size_t k = i;
                while (k < pattern_.size() && pattern_[k] == '?') ++k;
                live_[k] = true;
            } else if (p == '.' && ended &&
                       (i + 1 == pattern_.size() || pattern_[i + 1] == '*' || pattern_[i + 1] == '?')) {
                live_[i + 1] = true;
            }
        }
    }

    std::string_view pattern_;
    std::vector<bool> live_;  // positions of the pattern reached so far
    std::vector<bool> next_;
};

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
    Matcher matcher(last);
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
