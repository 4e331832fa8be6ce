// The command's services on Windows: names in the ANSI code page.
#include <io.h>
#include <windows.h>

#include <cstring>

#include "platform/command_names.h"
#include "platform/command_services.h"

namespace ondrel::platform {

std::filesystem::path PathOfAnsi(const std::string& ansi) {
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
    return std::filesystem::path(wide);
}

bool AnsiNameOf(const std::filesystem::path& entry, std::string& name) {
    const std::wstring wide = entry.filename().wstring();
    BOOL lacking = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, &lacking);
    name.assign(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), name.data(), n,
                        nullptr, &lacking);
    return !lacking;
}

bool StandardErrorIsTerminal() noexcept { return _isatty(2) != 0; }

std::optional<FileKey> StandardOutputFile() noexcept {
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
}

// Which names have no other link cannot be known here.
std::string StandardOutputSoleName() { return {}; }

}  // namespace ondrel::platform
