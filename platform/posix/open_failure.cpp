#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace ondrel::platform {

OpenFailure ExplainOpenFailure(const std::string& name) noexcept {
    const int error = errno;
    struct stat st{};
    if (stat(name.c_str(), &st) != 0) {
        const int statError = errno;
        errno = error;
        if (statError == ENOENT || statError == ENOTDIR) return OpenFailure::NotFound;
        if (statError == EACCES) return OpenFailure::AccessDenied;
        return OpenFailure::Other;
    }
    errno = error;
    if (!S_ISREG(st.st_mode)) return OpenFailure::NotRegular;
    if (error == EACCES || error == EPERM) return OpenFailure::AccessDenied;
    return OpenFailure::Other;
}

}  // namespace ondrel::platform
