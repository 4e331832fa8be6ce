#include "platform/image.h"

namespace ondrel::platform {

SplitName SplitImageName(const std::string& fileName) {
    std::size_t at = fileName.find_last_of("\\:");
    if (at == std::string::npos) return {std::string(), fileName};
    return {fileName.substr(0, at + 1), fileName.substr(at + 1)};
}

}  // namespace ondrel::platform
