#pragma once
// The computations beneath the section rules "SECSIZE", "SSECMD5" and "SECMD5".
#include <array>
#include <cstdint>
#include <string>

#include "checksums/md5.h"
#include "platform/reader.h"

namespace ondrel {

// The text of an 8-byte section name: up to its first zero byte, all 8
// bytes when none is zero; no other change.
std::string SectionNameText(const std::array<char, 8>& name);

// Sum of SizeOfRawData over the section table, wrapping in 32 bits and read
// as signed; 0 when the file is no image.
std::int32_t SectionRawSizeTotal(const std::string& fileName);

// DigestText of the raw bytes of every section in table order; the empty
// text when the file is no image, its table runs past the end of the file,
// or it cannot be opened for reading.
std::string AllSectionsDigest(const std::string& fileName);

// DigestText of the raw bytes of the last section named exactly so; the
// empty text when there is none or it has no raw data.
std::string NamedSectionDigest(const std::string& sectionName, const std::string& fileName);

// Feeds the bytes of one region of an open file to the digest: from start,
// up to length bytes or the end of the file, whichever comes first. A start
// or length of 2^31 or more (negative here) feeds nothing. Answers true;
// false only when a read fails, after feeding the bytes read before it.
bool ReadFileRegion(platform::FileReader& file, Md5Stream& digest, std::int32_t start, std::int32_t length);

}  // namespace ondrel
