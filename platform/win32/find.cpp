#include <windows.h>

#include "platform/find.h"

namespace ondrel::platform {

std::optional<DirectoryEntry> FindFirstEntry(const std::string& fileName) {
    WIN32_FIND_DATAA data{};
    HANDLE search = FindFirstFileA(fileName.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return std::nullopt;
    FindClose(search);

    DirectoryEntry entry;
    entry.sizeLow = data.nFileSizeLow;
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    FILETIME local{};
    WORD dosDate = 0, dosTime = 0;
    entry.hasDosTime = FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
                       FileTimeToDosDateTime(&local, &dosDate, &dosTime);
    return entry;
}

}  // namespace ondrel::platform
