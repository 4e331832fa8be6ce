#include "platform/file.h"

namespace ondrel::platform {

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.Release();
    }
    return *this;
}

File::~File() { Close(); }

}  // namespace ondrel::platform
