// The command's services on Windows: names in the ANSI code page.
#include <io.h>
#include <windows.h>

#include <cstring>

#include "platform/command_names.h"
#include "platform/command_services.h"
#include "platform/win32/handles.h"

namespace ondrel::platform {

std::filesystem::path PathOfAnsi(const std::string& ansi) {
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
    return std::filesystem::path(wide);
}

namespace {

// Wide text in the ANSI code page; false when the code page lacks one of its characters.
bool AnsiOf(const std::wstring& wide, std::string& name) {
    BOOL lacking = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, &lacking);
    name.assign(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), name.data(), n,
                        nullptr, &lacking);
    return !lacking;
}

std::optional<FileKey> KeyOfHandle(HANDLE h) noexcept {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
    return FileKey{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool StandardOutputIsDiskFile(HANDLE out) noexcept {
    return out != INVALID_HANDLE_VALUE && out && GetFileType(out) == FILE_TYPE_DISK;
}

}  // namespace

bool AnsiNameOf(const std::filesystem::path& entry, std::string& name) { return AnsiOf(entry.filename().wstring(), name); }

bool StandardErrorIsTerminal() noexcept { return _isatty(2) != 0; }

std::optional<FileKey> StandardOutputFile() noexcept {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!StandardOutputIsDiskFile(out)) return std::nullopt;
    if (std::optional<FileKey> key = KeyOfHandle(out)) return key;
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
}

std::optional<std::string> StandardOutputPath() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!StandardOutputIsDiskFile(out)) return std::nullopt;
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD size = GetFinalPathNameByHandleW(out, nullptr, 0, flags);
    if (size == 0) return std::nullopt;
    std::wstring wide(size, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(out, wide.data(), size, flags);
    if (n == 0 || n >= size) return std::nullopt;
    wide.resize(n);
    // "\\?\C:\dir\name" or "\\?\UNC\server\share\name", made into the names the other calls take.
    if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0) wide.replace(0, 8, L"\\\\");
    else if (wide.rfind(L"\\\\?\\", 0) == 0) wide.erase(0, 4);
    std::string name;
    if (!AnsiOf(wide, name)) return std::nullopt;
    return name;
}

bool StandardOutputHasOneName() noexcept {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    BY_HANDLE_FILE_INFORMATION info;
    return StandardOutputIsDiskFile(out) && GetFileInformationByHandle(out, &info) && info.nNumberOfLinks == 1;
}

std::optional<FileKey> FolderKeyOf(const std::string& name) {
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
    // No access asked; a folder opens only with backup semantics.
    FileHandle folder(CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return std::nullopt;
    return KeyOfHandle(folder.Get());
}

Outcome ChangeCurrentFolder(const std::string& folder) {
    if (folder.empty()) return Reason{"not found"};  // as chdir(""); Wine takes it for the current folder
    if (SetCurrentDirectoryA(folder.c_str())) return Done{};
    switch (const DWORD error = GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return Reason{"not found"};
        case ERROR_ACCESS_DENIED: return Reason{"access denied"};
        case ERROR_DIRECTORY: return Reason{"not a folder"};
        default: return Reason{"cannot be entered (error " + std::to_string(error) + ")"};
    }
}

}  // namespace ondrel::platform
