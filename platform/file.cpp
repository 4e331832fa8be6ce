#include "platform/file.h"

namespace ondrel::platform {

const char* OpenFailureText(OpenFailure failure) noexcept {
    switch (failure) {
        case OpenFailure::NotFound: return "not found";
        case OpenFailure::NotRegular: return "not a regular file";
        case OpenFailure::SharingViolation: return "sharing violation";
        case OpenFailure::AccessDenied: return "access denied";
        case OpenFailure::OutOfDescriptors: return "out of descriptors";
        case OpenFailure::OutOfMemory: return "out of memory";
        case OpenFailure::Other: break;
    }
    return "file cannot be opened";
}

}  // namespace ondrel::platform
