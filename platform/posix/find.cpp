#include <dirent.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

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
//  - "?" matches any one character, but at a "." of the name or at its end
//    the whole run of "?" it begins matches nothing ("a.txt?" finds a.txt);
//  - a "." followed by "*" or "?", or ending the pattern, matches a "." or,
//    at the end of the name, nothing ("noext.*" and "*.*" find noext);
//  - any other character matches itself.
class Matcher {
public:
    Matcher(std::string_view pattern, std::string_view name)
        : pattern_(pattern), name_(name), tried_((pattern.size() + 1) * (name.size() + 1)) {}
    bool Match() { return From(0, 0); }

private:
    // Whether the pattern from i matches the name from j; each pair is
    // tried once, so runs of "*" cost no more than the table.
    bool From(std::size_t i, std::size_t j) {
        std::vector<bool>::reference tried = tried_[i * (name_.size() + 1) + j];
        if (tried) return false;  // tried before, and it failed (a success returns at once)
        tried = true;
        while (i < pattern_.size()) {
            const char c = pattern_[i];
            const bool nameEnded = j == name_.size();
            if (c == '*') {
                while (i < pattern_.size() && pattern_[i] == '*') ++i;
                if (i == pattern_.size()) return true;
                for (std::size_t k = j; k <= name_.size(); ++k)
                    if (From(i, k)) return true;
                return false;
            }
            if (c == '?') {
                if (nameEnded || name_[j] == '.') {
                    while (i < pattern_.size() && pattern_[i] == '?') ++i;
                } else {
                    ++i;
                    ++j;
                }
                continue;
            }
            if (c == '.' && nameEnded &&
                (i + 1 == pattern_.size() || pattern_[i + 1] == '*' || pattern_[i + 1] == '?')) {
                ++i;
                continue;
            }
            if (nameEnded || name_[j] != c) return false;
            ++i;
            ++j;
        }
        return j == name_.size();
    }

    std::string_view pattern_;
    std::string_view name_;
    std::vector<bool> tried_;
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
    if (last.find_first_of("*?") == std::string::npos) {
        if (fileName.empty() || stat(fileName.c_str(), &st) != 0) return std::nullopt;
        return EntryOf(st);
    }
    Directory d(opendir(dir.c_str()));
    if (!d) return std::nullopt;
    UpperCaseAnsi(last);  // letter case is ignored, as the caches ignore it
    std::string upper;
    while (dirent* e = readdir(d.get())) {
        upper = e->d_name;
        UpperCaseAnsi(upper);
        if (!Matcher(last, upper).Match()) continue;
        std::string path = slash == std::string::npos ? std::string(e->d_name) : dir + e->d_name;
        if (stat(path.c_str(), &st) != 0) continue;
        return EntryOf(st);
    }
    return std::nullopt;
}

}  // namespace ondrel::platform
