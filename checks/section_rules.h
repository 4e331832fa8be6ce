#pragma once
// The computations beneath the section rules "SECSIZE", "SSECMD5" and "SECMD5".
#include <array>
#include <cstdint>
#include <string>

#include "checks/caches.h"
#include "checksums/md5.h"
#include "platform/reader.h"

namespace ondrel {

// The text of an 8-byte section name: up to its first zero byte, all 8
// bytes when none is zero; no other change.
std::string SectionNameText(const std::array<char, 8>& name);

// Each takes kept, the file's bytes read before, instead of reading the
// file where the platform lets it (see platform/image.h).

// Sum of SizeOfRawData over the section table, wrapping in 32 bits and read
// as signed; 0 when the file is no image.
std::int32_t SectionRawSizeTotal(const std::string& fileName, const platform::FileBytes* kept = nullptr);

// At most this many times the file's size is digested for all its sections:
// real images digest the file at most once, since their sections do not
// overlap; a table whose sections overlap over and over (65,535 headers
// each covering a whole file of 4 GiB) would otherwise digest up to
// 65,535 x 4 GiB.
inline constexpr std::uint64_t kSectionBytesPerFileByte = 16;

// DigestText of the raw bytes of every section in table order; the empty
// text when the file is no image, its table runs past the end of the file,
// it cannot be opened for reading, or its sections cover more than
// kSectionBytesPerFileByte times its size (then nothing is read). The
// identity of the file comes with it when all of it was read from an
// unchanged file.
ComputedDigest AllSectionsDigest(const std::string& fileName, const platform::FileBytes* kept = nullptr);

// DigestText of the raw bytes of the last section named exactly so; the
// empty text when there is none or it has no raw data.
std::string NamedSectionDigest(const std::string& sectionName, const std::string& fileName,
                               const platform::FileBytes* kept = nullptr);

// Feeds the bytes of one region of an open file to the digest: from start,
// up to length bytes or the end of the file, whichever comes first. A start
// or length of 2^31 or more (negative here) feeds nothing. Answers true;
// false only when a read fails, after feeding the bytes read before it.
bool ReadFileRegion(platform::FileReader& file, Md5Stream& digest, std::int32_t start, std::int32_t length);

}  // namespace ondrel
