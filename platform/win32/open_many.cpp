// Windows opens the files of a batch one at a time.
#include "platform/open_many.h"

namespace ondrel::platform {

struct ManyFiles::Kernel {};

ManyFiles::ManyFiles() = default;
ManyFiles::~ManyFiles() = default;

void ManyFiles::Open(std::span<const OpenRequest> requests, std::span<OpenedFile> results) {
    for (std::size_t i = 0; i < requests.size(); ++i) OpenOne(requests[i], results[i]);
}

}  // namespace ondrel::platform
