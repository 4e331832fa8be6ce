#pragma once
// A file's identity from what stat or fstat answered, for the POSIX side.
#include <sys/stat.h>

#include <cstdint>
#include <ctime>

#include "platform/file.h"

namespace ondrel::platform {

inline constexpr std::int64_t kNanoseconds = 1000000000;

inline std::int64_t Nanoseconds(const timespec& t) { return std::int64_t{t.tv_sec} * kNanoseconds + t.tv_nsec; }

inline FileIdentity IdentityFrom(const struct stat& st) {
    FileIdentity id;
    id.volume = static_cast<std::uint64_t>(st.st_dev);
    id.index = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.modified = Nanoseconds(st.st_mtim);
    id.changed = Nanoseconds(st.st_ctim);
    return id;
}

inline bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Files larger than this are read in more than one chunk: the
// sequential-scan hint pays for them.
inline constexpr off_t kSequentialHintFrom = 256 * 1024;

}  // namespace ondrel::platform
