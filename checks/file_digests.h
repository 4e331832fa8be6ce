#pragma once
// Checksums of whole files, read through the platform's file reader.
#include <cstdint>
#include <string>

#include "checksums/md5.h"

namespace ondrel {

// The CRC-32 of a whole file, opened for reading while other processes may
// read it but not write it (POSIX cannot refuse writers). Throws
// platform::FileOpenError when the file cannot be opened or is no regular
// disk file, and platform::FileReadError when a read fails or the file ends
// before the size it had when opened.
std::uint32_t Crc32OfFile(const std::string& fileName);

// The digest of a whole file, opened for reading while other processes may
// read and write it, and read from beginning to end in bounded chunks, at
// any size. A file that is missing, locked, no regular disk file, or that
// cannot be read in full (a read fails, or the file ends before the size it
// had when opened) gives the digest of no bytes; bytes written past that
// size meanwhile are not digested. Throws std::bad_alloc only.
void Md5OfFile(const std::string& fileName, Md5Digest& digest);

}  // namespace ondrel
