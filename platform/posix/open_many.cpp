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

namespace {

// A file of the batch between its open and its close.
struct Pending {
    Descriptor fd;
    bool lookedUp = false;  // stat found it before the open
    struct stat found{};    // what stat found
    std::uint32_t want = 0;
    bool closing = false;  // the ring closes it after the read
    bool redo = false;     // to be opened again one at a time
};

}  // namespace

// Up to kFilesAtOnce files through the ring: the opens of what was found
// to be a regular file; then, of what was opened and checked, the first
// read and (when that is all of it) the close; then each result settled.
class ManyFiles::Batch {
public:
    Batch(io_uring& ring, FolderKinds& kinds, std::span<const OpenRequest> requests, std::span<OpenedFile> out)
        : ring_(ring), kinds_(kinds), requests_(requests), out_(out) {}

    enum class Ending {
        Settled,            // every result is set
        SettledRingFailed,  // every result is set, and the ring failed in the reads
        RingFailed,         // the ring failed in the opens: no result is set
    };
    Ending Run() {
        if (!Exchange(ring_, PrepareOpens(), [&](std::uint64_t tag, int res) { Opened(tag / 4, res); })) {
            // What was opened is closed; an open not seen is left to leak.
            for (Pending& p : pending_) p.fd.Reset();
            return Ending::RingFailed;
        }
        const bool read = Exchange(ring_, PrepareReads(), [&](std::uint64_t tag, int res) { Read(tag, res); });
        Settle(!read);
        return read ? Ending::Settled : Ending::SettledRingFailed;
    }

private:
    unsigned PrepareOpens() {
        unsigned prepared = 0;
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            out_[i] = OpenedFile();
            Pending& p = pending_[i];
            const std::string& name = *requests_[i].name;
            if (!kinds_.ListedRegular(name)) {
                if (stat(name.c_str(), &p.found) != 0) {
                    out_[i].failure = OpenFailureOfError(static_cast<unsigned long>(errno));
                    continue;
                }
                if (!S_ISREG(p.found.st_mode)) {
                    out_[i].failure = OpenFailure::NotRegular;
                    continue;
                }
                p.lookedUp = true;
            }
            io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
            io_uring_prep_openat(sqe, AT_FDCWD, name.c_str(), kReadFlags, 0);
            io_uring_sqe_set_data64(sqe, Tag(i, kOpen));
            ++prepared;
        }
        return prepared;
    }

    void Opened(std::size_t i, int res) {
        if (res >= 0) pending_[i].fd.Reset(res);
        else out_[i].failure = FailureOf(res);
    }

    // What was opened must be a regular file, and the one stat found.
    bool Check(std::size_t i, struct stat& st) {
        Pending& p = pending_[i];
        if (fstat(p.fd.Get(), &st) != 0) out_[i].failure = OpenFailureOfError(static_cast<unsigned long>(errno));
        else if (!S_ISREG(st.st_mode)) out_[i].failure = OpenFailure::NotRegular;
        else if (p.lookedUp && !SameFile(st, p.found)) out_[i].failure = OpenFailure::Other;
        else return true;
        p.fd.Reset();
        return false;
    }

    unsigned PrepareReads() {
        unsigned prepared = 0;
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            Pending& p = pending_[i];
            struct stat st{};
            if (!p.fd || !Check(i, st)) continue;
            out_[i].opened = true;
            out_[i].identity = IdentityFrom(st);
            p.want = static_cast<std::uint32_t>(std::min<std::uint64_t>(out_[i].identity.size, requests_[i].capacity));
            p.closing = out_[i].identity.size <= requests_[i].capacity;
            if (!p.closing && st.st_size > kSequentialHintFrom) posix_fadvise(p.fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
            if (p.want > 0) {
                io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
                io_uring_prep_read(sqe, p.fd.Get(), requests_[i].buffer, p.want, 0);
                io_uring_sqe_set_data64(sqe, Tag(i, kRead));
                // The close follows the read whatever the read gave.
                if (p.closing) sqe->flags |= IOSQE_IO_HARDLINK;
                ++prepared;
            } else {
                out_[i].firstRead = 0u;
            }
            if (p.closing) {
                io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
                io_uring_prep_close(sqe, p.fd.Get());
                io_uring_sqe_set_data64(sqe, Tag(i, kClose));
                ++prepared;
            }
        }
        return prepared;
    }

    void Read(std::uint64_t tag, int res) {
        const std::size_t i = tag / 4;
        Pending& p = pending_[i];
        if (tag % 4 == kClose) {
            static_cast<void>(p.fd.Release());  // closed, even when the close reports an error
            return;
        }
        if (res == static_cast<int>(p.want)) out_[i].firstRead = p.want;
        else if (res == -ENOMEM || res == -ENOBUFS) out_[i].firstRead = ReadFailure::Exhausted;
        // Bytes not in the page cache (the descriptor does not wait for
        // them), a short read: read again without the ring.
        else p.redo = true;
    }

    void Settle(bool ringFailed) {
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            Pending& p = pending_[i];
            if (!out_[i].opened) continue;
            if (ringFailed && p.closing && p.fd) {
                // This one's close was not seen: the descriptor is left as
                // it is (the kernel may yet close it, and closing it here
                // could close another file by then), and the file is opened
                // again.
                static_cast<void>(p.fd.Release());
                p.redo = true;
            }
            if (p.redo) {
                p.fd.Reset();
                OpenOne(requests_[i], out_[i]);
            } else if (!p.closing) {
                File file = AdoptHandle(p.fd.Release(), out_[i].identity);
                if (out_[i].firstRead) out_[i].rest = Adopt(std::move(file));
            }
        }
    }

    io_uring& ring_;
    FolderKinds& kinds_;
    const std::span<const OpenRequest> requests_;
    const std::span<OpenedFile> out_;
    Pending pending_[kFilesAtOnce];
};

void ManyFiles::Open(std::span<const OpenRequest> requests, std::span<OpenedFile> results) {
    for (std::size_t start = 0; start < requests.size(); start += kFilesAtOnce) {
        const std::size_t n = std::min(kFilesAtOnce, requests.size() - start);
        const std::span<const OpenRequest> batch = requests.subspan(start, n);
        const std::span<OpenedFile> out = results.subspan(start, n);
        if (kernel_->working && !ReadsFailBySeam()) {
            const Batch::Ending ending = Batch(kernel_->ring, kernel_->kinds, batch, out).Run();
            if (ending != Batch::Ending::Settled) kernel_->Fail();
            if (ending != Batch::Ending::RingFailed) continue;
        }
        for (std::size_t i = 0; i < n; ++i) OpenOne(batch[i], out[i]);
    }
}

}  // namespace ondrel::platform
