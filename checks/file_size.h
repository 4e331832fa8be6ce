#pragma once
// The size of a file as its directory entry gives it.
#include <cstdint>
#include <string>

namespace ondrel {

// The low 32 bits of the size of the first entry a directory search on the
// name finds (wildcards act as wildcards); 0 when it finds nothing.
std::uint64_t FileSize(const std::string& fileName);

// FileSize in decimal digits, "0" for zero.
std::string FileSizeText(const std::string& fileName);

}  // namespace ondrel
