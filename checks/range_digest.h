#pragma once
// The digest of a byte range of a file.
#include <cstdint>
#include <string>

namespace ondrel {

// The DigestText of the bytes first to last (inclusive) of a file opened for
// reading while others may read and write it. The count, last - first + 1 in
// 32-bit arithmetic, is taken as unsigned. A negative first reads from byte 0;
// a count of 0 takes the whole file from byte 0. A range the file cannot
// deliver in full, a missing or locked file, give the digest of no bytes.
// The range is streamed through the digest in bounded chunks; nothing is
// thrown.
std::string RangeDigest(const std::string& fileName, std::int32_t first, std::int32_t last);

}  // namespace ondrel
