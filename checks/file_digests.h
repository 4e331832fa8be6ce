#pragma once
// Checksums of whole files and byte ranges, read through the platform's
// file reader.
#include <cstdint>
#include <string>

#include "checks/caches.h"
#include "platform/reader.h"

namespace ondrel {

// The CRC-32 of a whole file, opened for reading while other processes may
// read it but not write it (POSIX cannot refuse writers). Throws
// platform::FileOpenError when the file cannot be opened or is no regular
// disk file, platform::FileReadError when a read fails or the file ends
// before the size it had when opened, and platform::ResourcesExhausted or
// std::bad_alloc when the process runs out of its own resources.
std::uint32_t Crc32OfFile(const std::string& fileName);

// The DigestText of the bytes first to last (inclusive) of a file opened for
// reading while others may read and write it. The count, last - first + 1 in
// 32-bit arithmetic, is taken as unsigned. A negative first reads from byte
// 0; a count of 0 takes the whole file from byte 0. A range the file cannot
// deliver in full (within the size it had when opened), a missing, locked
// or unreadable file, give the digest of no bytes. The range is streamed
// through the digest in bounded chunks, at any size. The identity of the
// file comes with the digest when every byte of the range was read and the
// file did not change meanwhile. Throws only when the process runs out of
// its own resources (platform::ResourcesExhausted, std::bad_alloc).
// With kept, the bytes are taken from there and the file is not opened.
ComputedDigest RangeDigest(const std::string& fileName, std::int32_t first, std::int32_t last,
                           const platform::FileBytes* kept = nullptr);

// The digest of the whole file: RangeDigest with a count of 0.
inline ComputedDigest Md5OfFile(const std::string& fileName) { return RangeDigest(fileName, 0, -1); }

}  // namespace ondrel
