#include <windows.h>

#include "platform/file.h"

namespace ondrel::platform {

OpenFailure ExplainOpenFailure(const std::string& name) noexcept {
    const DWORD error = GetLastError();
    OpenFailure failure = OpenFailure::Other;
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            failure = OpenFailure::NotFound;
            break;
        case ERROR_BAD_FILE_TYPE:  // opened, but no disk file: a console, NUL, a pipe
            failure = OpenFailure::NotRegular;
            break;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            failure = OpenFailure::SharingViolation;
            break;
        case ERROR_ACCESS_DENIED: {
            // CreateFileA refuses a directory with this same error.
            const DWORD attributes = GetFileAttributesA(name.c_str());
            failure = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                          ? OpenFailure::NotRegular
                          : OpenFailure::AccessDenied;
            break;
        }
        default:
            break;
    }
    SetLastError(error);
    return failure;
}

}  // namespace ondrel::platform
