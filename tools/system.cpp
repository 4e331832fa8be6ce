// What the command asks of the system beyond the library's platform layer.
#include "tools/system.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/file.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ondrel::tool {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
fs::path PathOf(const std::string& ansi) {
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
    return fs::path(wide);
}
// The 8-bit name of a folder entry; false when the code page lacks one of its characters.
bool NameOf(const fs::path& entry, std::string& name) {
    const std::wstring wide = entry.filename().wstring();
    BOOL lacking = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, &lacking);
    name.assign(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), name.data(), n,
                        nullptr, &lacking);
    return !lacking;
}
#else
fs::path PathOf(const std::string& name) { return fs::path(name); }
bool NameOf(const fs::path& entry, std::string& name) {
    name = entry.filename().string();
    return true;
}
#endif

std::string WhyText(const std::error_code& e) {
    if (e == std::errc::permission_denied) return "access denied";
    if (e == std::errc::no_such_file_or_directory) return "not found";
    if (e == std::errc::not_a_directory) return "not a folder";
    return e.message();
}

// The kind the folder listing gave, where it gave one, without a status
// call of its own; a link's target is asked for.
FolderEntry::Kind KindOf(const fs::directory_entry& entry) {
    std::error_code e;
    const bool link = entry.is_symlink(e);
    if (e) return FolderEntry::Kind::DanglingLink;
    if (!link) {
        if (entry.is_directory(e)) return FolderEntry::Kind::Folder;
        if (e) return FolderEntry::Kind::DanglingLink;
        return entry.is_regular_file(e) && !e ? FolderEntry::Kind::File : FolderEntry::Kind::Other;
    }
    const fs::file_status target = entry.status(e);
    if (e || !fs::exists(target)) return FolderEntry::Kind::DanglingLink;
    if (fs::is_directory(target)) return FolderEntry::Kind::LinkToFolder;
    return fs::is_regular_file(target) ? FolderEntry::Kind::File : FolderEntry::Kind::Other;
}

}  // namespace

bool StandardErrorIsTerminal() noexcept {
#ifdef _WIN32
    return _isatty(2) != 0;
#else
    return isatty(2) != 0;
#endif
}

std::optional<FileKey> StandardOutputFile() noexcept {
#ifdef _WIN32
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || !out || GetFileType(out) != FILE_TYPE_DISK) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(out, &info))
        return FileKey{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    // Wine answers only this for a handle inherited from a POSIX shell, without the volume.
    // FILE_ID_INFO and FileIdInfo (18), which the headers declare only for Windows 8 and later.
    struct {
        ULONGLONG volume;
        BYTE id[16];
    } info2{};
    if (!GetFileInformationByHandleEx(out, static_cast<FILE_INFO_BY_HANDLE_CLASS>(18), &info2, sizeof info2))
        return std::nullopt;
    std::uint64_t index = 0;
    std::memcpy(&index, info2.id, sizeof index);
    return FileKey{info2.volume, index};
#else
    struct stat st{};
    if (fstat(1, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileKey{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
#endif
}

std::string StandardOutputSoleName() {
#ifdef _WIN32
    return {};
#else
    struct stat st{};
    if (fstat(1, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return {};
    char target[4096];
    const ssize_t n = readlink("/proc/self/fd/1", target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) == sizeof target || target[0] != '/') return {};
    const std::string path(target, static_cast<std::size_t>(n));
    return path.substr(path.rfind('/') + 1);
#endif
}

std::optional<FileKey> FileKeyOf(const std::string& name) {
    std::optional<platform::FileIdentity> id = platform::IdentityOf(name);
    if (!id) return std::nullopt;
    return FileKey{id->volume, id->index};
}

unsigned Cores() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

bool IsFolder(const std::string& name) {
    std::error_code e;
    return fs::is_directory(PathOf(name), e);
}

std::vector<FolderEntry> ListFolder(const std::string& folder, std::string& whyNot) {
    std::vector<FolderEntry> entries;
    std::error_code e;
    fs::directory_iterator it(PathOf(folder), e);
    for (; !e && it != fs::directory_iterator(); it.increment(e)) {
        FolderEntry entry;
        const bool named = NameOf(it->path(), entry.name);
        entry.kind = named ? KindOf(*it) : FolderEntry::Kind::Unnamable;
        entries.push_back(std::move(entry));
    }
    if (e) whyNot = WhyText(e);
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return entries;
}

}  // namespace ondrel::tool
