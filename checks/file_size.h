#pragma once
// The size of a file as its directory entry gives it.
#include <cstdint>
#include <string>

namespace ondrel {

// The low 32 bits of the size of the first entry a directory search on the
// name finds (wildcards act as wildcards); 0 when it finds nothing. Throws
// platform::ResourcesExhausted when the process runs out of its own
// resources.
std::uint32_t FileSizeLow32(const std::string& fileName);

}  // namespace ondrel
