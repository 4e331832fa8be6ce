#pragma once
// Many regular files opened at once and the first bytes of each read, for a
// caller that reads a great many small files (verify, make --manifest).
// Each file is opened as File::OpenLookedUp opens it, with its guarantee:
// only what was found to be a regular file is opened for reading, and what
// was opened is checked to be a regular file (and the one found) before a
// byte of it is read.
//   Linux: the opens of a batch go to the kernel in one io_uring submission
//   and the reads and closes in another, so that a file of a few KiB costs
//   one system call of its own (fstat) instead of five. A name is found to
//   be a regular file from its folder's listing (once the batches have met
//   four names in that folder in a row), else by stat. Where io_uring cannot
//   be had (an old kernel, a sandbox that forbids it), and while the test
//   seam fails reads, the files are opened one at a time.
//   Windows: one at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/file.h"
#include "platform/reader.h"

namespace ondrel::platform {

struct OpenRequest {
    const std::string* name = nullptr;
    Share share = Share::ReadWrite;
    unsigned char* buffer = nullptr;  // where the first bytes go
    std::uint32_t capacity = 0;       // at most this many of them
};

struct OpenedFile {
    bool opened = false;
    OpenFailure failure = OpenFailure::Other;  // why not, when not opened
    FileIdentity identity;                     // when it was opened
    // The count of first bytes now in the buffer: the file's size at open,
    // or the capacity when the file is larger; or why not, when that read
    // failed or fell short.
    File::ReadResult firstRead = ReadFailure::Failed;
    // Still open when the file is larger than the capacity, for the rest.
    FileReader rest;
};

class ManyFiles {
public:
    ManyFiles();
    ~ManyFiles();
    ManyFiles(const ManyFiles&) = delete;
    ManyFiles& operator=(const ManyFiles&) = delete;

    // Opens and reads each request's file into its result (results has at
    // least as many elements). Throws std::bad_alloc.
    void Open(std::span<const OpenRequest> requests, std::span<OpenedFile> results);

private:
    // One at a time, through FileReader (and so the test seam).
    static void OpenOne(const OpenRequest& request, OpenedFile& result);
    static FileReader Adopt(File file) noexcept { return FileReader(std::move(file)); }
    static File AdoptHandle(std::intptr_t handle, const FileIdentity& identity) noexcept { return File(handle, identity); }

    struct Kernel;
    class Batch;
    std::unique_ptr<Kernel> kernel_;
};

}  // namespace ondrel::platform
