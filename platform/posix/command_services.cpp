// The command's services on POSIX: names are bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/command_names.h"
#include "platform/command_services.h"

namespace ondrel::platform {

std::filesystem::path PathOfAnsi(const std::string& name) { return std::filesystem::path(name); }

bool AnsiNameOf(const std::filesystem::path& entry, std::string& name) {
    name = entry.filename().string();
    return true;
}

bool StandardErrorIsTerminal() noexcept { return isatty(2) != 0; }

std::optional<FileKey> StandardOutputFile() noexcept {
    struct stat st{};
    if (fstat(1, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileKey{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<std::string> StandardOutputPath() {
    struct stat st{};
    if (fstat(1, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    // Linux keeps the name the file was opened by, its folders resolved.
    char target[4096];
    const ssize_t n = readlink("/proc/self/fd/1", target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) == sizeof target || target[0] != '/') return std::nullopt;
    return std::string(target, static_cast<std::size_t>(n));
}

bool StandardOutputHasOneName() noexcept {
    struct stat st{};
    return fstat(1, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
}

std::optional<FileKey> FolderKeyOf(const std::string& name) {
    struct stat st{};
    if (name.empty() || stat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return FileKey{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

Outcome ChangeCurrentFolder(const std::string& folder) {
    if (chdir(folder.c_str()) == 0) return Done{};
    switch (errno) {
        case ENOENT: return Reason{"not found"};
        case EACCES: return Reason{"access denied"};
        case ENOTDIR: return Reason{"not a folder"};
        default: return Reason{std::strerror(errno)};
    }
}

}  // namespace ondrel::platform
