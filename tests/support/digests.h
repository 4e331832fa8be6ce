#pragma once
// Expected digest texts for tests.
#include <string>

#include "checksums/md5.h"

namespace ondrel::testing {

// The DigestText of the bytes.
inline std::string DigestOfBytes(const std::string& bytes) { return DigestTextOf(bytes.data(), bytes.size()); }

// The DigestText of no bytes.
inline const std::string kEmptyDigestText = DigestTextOf("", 0);

}  // namespace ondrel::testing
