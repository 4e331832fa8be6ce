#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/file_view.h"

namespace ondrel::platform {

FileView FileView::MapWhole(const std::string& name) noexcept {
    FileView view;
    int fd;
    do {
        fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return view;
    view.file_ = fd;

    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return view;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size > SIZE_MAX) return FileView();  // cannot be viewed whole in this process
    void* data = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) return FileView();
    view.data_ = static_cast<const unsigned char*>(data);
    view.viewLength_ = static_cast<std::size_t>(size);
    view.size_ = size;
    madvise(data, view.viewLength_, MADV_SEQUENTIAL);
    return view;
}

void FileView::Release() noexcept {
    const int saved = errno;
    if (data_) munmap(const_cast<unsigned char*>(data_), viewLength_);
    if (file_ != kNoFile) close(static_cast<int>(file_));
    errno = saved;
    data_ = nullptr;
    file_ = kNoFile;
    size_ = 0;
    viewLength_ = 0;
}

}  // namespace ondrel::platform
