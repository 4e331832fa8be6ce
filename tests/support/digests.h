#pragma once
// Expected digest texts for tests, benchmarks and fuzz targets (header-only).
#include <cstddef>
#include <string>
#include <string_view>

#include "checksums/md5.h"

namespace ondrel::testing {

// The DigestText of the bytes.
inline std::string DigestOfBytes(const void* data, std::size_t count) {
    Md5Stream stream;
    stream.Update(data, count);
    return DigestText(stream.Finish());
}
inline std::string DigestOfBytes(std::string_view bytes) { return DigestOfBytes(bytes.data(), bytes.size()); }

// The DigestText of no bytes.
inline const std::string kEmptyDigestText = DigestOfBytes("", 0);

}  // namespace ondrel::testing
