#include <windows.h>

#include "platform/file.h"
#include "platform/find.h"
#include "platform/win32/handles.h"

namespace ondrel::platform {

namespace {

// 2108-01-01 00:00 in 100-nanosecond ticks since 1601-01-01: the first
// moment after the MS-DOS date range. Windows refuses to convert later
// times to an MS-DOS date; Wine converts them up to 2116 with the year
// wrapped, so the bound is checked here as well.
constexpr ULONGLONG kEndOfDosDates = 185177ULL * 86400ULL * 10000000ULL;

bool BeforeEndOfDosDates(const FILETIME& t) {
    ULONGLONG ticks = (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return ticks < kEndOfDosDates;
}

}  // namespace

std::optional<DirectoryEntry> FindFirstEntry(const std::string& fileName) {
    WIN32_FIND_DATAA data{};
    if (!FindHandle(FindFirstFileA(fileName.c_str(), &data))) {  // closed at once
        ThrowIfExhausted(OpenFailureOfError(GetLastError()));
        return std::nullopt;
    }

    DirectoryEntry entry;
    entry.sizeLow = data.nFileSizeLow;
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    FILETIME local{};
    WORD dosDate = 0, dosTime = 0;
    entry.hasDosTime = FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
                       FileTimeToDosDateTime(&local, &dosDate, &dosTime) && BeforeEndOfDosDates(local);
    return entry;
}

}  // namespace ondrel::platform
