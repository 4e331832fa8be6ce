// Many files opened and their first bytes read in two io_uring submissions
// a batch: the opens, then the reads and the closes.
#include "platform/open_many.h"

#include <dirent.h>
#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/descriptor.h"
#include "platform/posix/stat_identity.h"

namespace ondrel::platform {

namespace {

// Files a submission carries: their reads and closes fill the ring.
constexpr std::size_t kFilesAtOnce = 64;
constexpr unsigned kRingEntries = 2 * kFilesAtOnce;
// As File::OpenLookedUp opens: a lease held elsewhere refuses the open.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
// A folder is listed once this many names in a row were in it, and only
// when it holds no more entries than this.
constexpr unsigned kListAfter = 4;
constexpr std::size_t kMostListed = 65536;

// Which names of the folder met last are regular files, as its listing
// said. A name it does not say so of is looked up by stat. The names are
// kept sorted and looked for from where the last one was found: a list
// made in name order is answered walking forward through them.
class FolderKinds {
public:
    bool ListedRegular(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        const std::string_view name = slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
        const std::string_view folder = slash == std::string::npos ? std::string_view(".")
                                        : slash == 0                ? std::string_view("/")
                                                                    : std::string_view(path).substr(0, slash);
        if (name.empty()) return false;
        if (folder != listed_) {
            if (folder == refused_) return false;
            if (folder != candidate_) {
                candidate_.assign(folder);
                run_ = 0;
            }
            if (++run_ < kListAfter) return false;
            List(candidate_);
        }
        if (next_ < regular_.size() && regular_[next_] == name) {
            ++next_;
            return true;
        }
        const auto found = std::lower_bound(regular_.begin(), regular_.end(), name);
        if (found == regular_.end() || *found != name) return false;
        next_ = static_cast<std::size_t>(found - regular_.begin()) + 1;
        return true;
    }

private:
    void List(const std::string& folder) {
        listed_.clear();
        regular_.clear();
        next_ = 0;
        DIR* dir = opendir(folder.c_str());
        bool whole = dir != nullptr;
        if (dir) {
            std::size_t entries = 0;
            while (dirent* entry = readdir(dir)) {
                if (++entries > kMostListed) {
                    whole = false;
                    break;
                }
                if (entry->d_type == DT_REG) regular_.emplace_back(entry->d_name);
            }
            closedir(dir);
        }
        if (whole) {
            std::sort(regular_.begin(), regular_.end());
            listed_ = folder;
        } else {
            regular_.clear();
            refused_ = folder;
        }
    }

    std::string listed_ = std::string(1, '\0');  // no path names this
    std::vector<std::string> regular_;            // its regular files, sorted
    std::size_t next_ = 0;                        // after the last one found
    std::string refused_ = listed_;  // a folder too large to list, or that could not be
    std::string candidate_;
    unsigned run_ = 0;
};

// user_data of a request: the file's index in the batch and the operation.
enum Operation : std::uint64_t { kOpen = 0, kRead = 1, kClose = 2 };
std::uint64_t Tag(std::size_t file, Operation op) { return static_cast<std::uint64_t>(file) * 4 + op; }

// Sends what is prepared to the kernel and hands every completion of it to
// take(user_data, res). False when the ring failed: then what was not sent
// never will be, and what was sent and not taken may still happen.
template <typename Take>
bool Exchange(io_uring& ring, unsigned prepared, Take&& take) {
    unsigned sent = 0, taken = 0;
    bool ok = true;
    while (sent < prepared) {
        const int r = io_uring_submit_and_wait(&ring, prepared - sent);
        if (r > 0) {
            sent += static_cast<unsigned>(r);
        } else if (r != -EINTR && !((r == -EAGAIN || r == -EBUSY) && taken < sent)) {
            ok = false;
            break;
        }
        io_uring_cqe* cqe;
        while (taken < sent && io_uring_peek_cqe(&ring, &cqe) == 0) {
            take(cqe->user_data, cqe->res);
            io_uring_cqe_seen(&ring, cqe);
            ++taken;
        }
    }
    while (taken < sent) {
        io_uring_cqe* cqe;
        const int r = io_uring_wait_cqe(&ring, &cqe);
        if (r == -EINTR) continue;
        if (r < 0) return false;
        take(cqe->user_data, cqe->res);
        io_uring_cqe_seen(&ring, cqe);
        ++taken;
    }
    return ok;
}

OpenFailure FailureOf(int negativeErrno) { return OpenFailureOfError(static_cast<unsigned long>(-negativeErrno)); }

}  // namespace

struct ManyFiles::Kernel {
    io_uring ring{};
    bool working = false;
    FolderKinds kinds;

    Kernel() { working = io_uring_queue_init(kRingEntries, &ring, 0) == 0; }
    ~Kernel() {
        if (working) io_uring_queue_exit(&ring);
    }
    void Fail() {
        io_uring_queue_exit(&ring);
        working = false;
    }
};

ManyFiles::ManyFiles() : kernel_(std::make_unique<Kernel>()) {}
ManyFiles::~ManyFiles() = default;

bool ManyFiles::Together() const noexcept { return kernel_->working; }

namespace {

// A file of the batch between its open and its close.
struct Pending {
    Descriptor fd;
    bool lookedUp = false;  // stat found it before the open
    struct stat found{};    // what stat found
    bool opening = false;   // its open was prepared
    std::uint32_t want = 0;
    bool closing = false;  // the ring closes it after the read
    bool redo = false;     // opened again one at a time
};

}  // namespace

void ManyFiles::Open(std::span<const OpenRequest> requests, std::span<OpenedFile> results) {
    for (std::size_t start = 0; start < requests.size(); start += kFilesAtOnce) {
        const std::size_t n = std::min(kFilesAtOnce, requests.size() - start);
        const std::span<const OpenRequest> batch = requests.subspan(start, n);
        const std::span<OpenedFile> out = results.subspan(start, n);
        if (!kernel_->working || ReadsFailBySeam()) {
            for (std::size_t i = 0; i < n; ++i) OpenOne(batch[i], out[i]);
            continue;
        }
        io_uring& ring = kernel_->ring;
        Pending pending[kFilesAtOnce];

        // The opens, of what was found to be a regular file.
        unsigned prepared = 0;
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = OpenedFile();
            Pending& p = pending[i];
            const std::string& name = *batch[i].name;
            if (!kernel_->kinds.ListedRegular(name)) {
                if (stat(name.c_str(), &p.found) != 0) {
                    out[i].failure = OpenFailureOfError(static_cast<unsigned long>(errno));
                    continue;
                }
                if (!S_ISREG(p.found.st_mode)) {
                    out[i].failure = OpenFailure::NotRegular;
                    continue;
                }
                p.lookedUp = true;
            }
            io_uring_sqe* sqe = io_uring_get_sqe(&ring);
            io_uring_prep_openat(sqe, AT_FDCWD, name.c_str(), kReadFlags, 0);
            io_uring_sqe_set_data64(sqe, Tag(i, kOpen));
            p.opening = true;
            ++prepared;
        }
        const bool opened = Exchange(ring, prepared, [&](std::uint64_t tag, int res) {
            const std::size_t i = tag / 4;
            if (res >= 0) pending[i].fd.Reset(res);
            else out[i].failure = FailureOf(res);
            pending[i].opening = false;
        });
        if (!opened) {
            // What was opened is closed; an open not seen is left to leak.
            kernel_->Fail();
            for (std::size_t i = 0; i < n; ++i) {
                pending[i].fd.Reset();
                OpenOne(batch[i], out[i]);
            }
            continue;
        }

        // What was opened must be a regular file, and the one stat found;
        // then its first bytes are read and, when that is all of it, it is
        // closed.
        prepared = 0;
        for (std::size_t i = 0; i < n; ++i) {
            Pending& p = pending[i];
            if (!p.fd) continue;
            struct stat st{};
            if (fstat(p.fd.Get(), &st) != 0) {
                out[i].failure = OpenFailureOfError(static_cast<unsigned long>(errno));
                p.fd.Reset();
                continue;
            }
            if (!S_ISREG(st.st_mode) || (p.lookedUp && !SameFile(st, p.found))) {
                out[i].failure = S_ISREG(st.st_mode) ? OpenFailure::Other : OpenFailure::NotRegular;
                p.fd.Reset();
                continue;
            }
            out[i].opened = true;
            out[i].identity = IdentityFrom(st);
            p.want = static_cast<std::uint32_t>(std::min<std::uint64_t>(out[i].identity.size, batch[i].capacity));
            p.closing = out[i].identity.size <= batch[i].capacity;
            if (!p.closing && st.st_size > kSequentialHintFrom) posix_fadvise(p.fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
            if (p.want > 0) {
                io_uring_sqe* sqe = io_uring_get_sqe(&ring);
                io_uring_prep_read(sqe, p.fd.Get(), batch[i].buffer, p.want, 0);
                io_uring_sqe_set_data64(sqe, Tag(i, kRead));
                // The close follows the read whatever the read gave.
                if (p.closing) sqe->flags |= IOSQE_IO_HARDLINK;
                ++prepared;
            } else {
                out[i].firstRead = 0;
            }
            if (p.closing) {
                io_uring_sqe* sqe = io_uring_get_sqe(&ring);
                io_uring_prep_close(sqe, p.fd.Get());
                io_uring_sqe_set_data64(sqe, Tag(i, kClose));
                ++prepared;
            }
        }
        const bool read = Exchange(ring, prepared, [&](std::uint64_t tag, int res) {
            const std::size_t i = tag / 4;
            Pending& p = pending[i];
            if (tag % 4 == kClose) {
                // Closed, even when the close reports an error.
                static_cast<void>(p.fd.Release());
                return;
            }
            if (res == static_cast<int>(p.want)) out[i].firstRead = res;
            else if (res == -ENOMEM || res == -ENOBUFS) out[i].firstRead = File::kReadExhausted;
            // Bytes not in the page cache (the descriptor does not wait for
            // them), a short read: read again without the ring.
            else p.redo = true;
        });
        if (!read) kernel_->Fail();
        for (std::size_t i = 0; i < n; ++i) {
            Pending& p = pending[i];
            if (!out[i].opened) continue;
            if (p.closing && p.fd) {
                // The ring failed before this one's close was seen: the
                // descriptor is left as it is (the kernel may yet close it,
                // and closing it here could close another file by then),
                // and the file is opened again.
                static_cast<void>(p.fd.Release());
                p.redo = true;
            }
            if (p.redo) {
                p.fd.Reset();
                OpenOne(batch[i], out[i]);
            } else if (!p.closing) {
                File file = AdoptHandle(p.fd.Release(), out[i].identity);
                if (out[i].firstRead >= 0) out[i].rest = Adopt(std::move(file));
            }
        }
    }
}

}  // namespace ondrel::platform
