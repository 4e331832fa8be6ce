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

File File::OpenOrThrow(const std::string& name, Share share, bool sequential) {
    File file = Open(name, share, sequential);
    if (!file) throw FileOpenError();
    return file;
}

}  // namespace ondrel::platform
