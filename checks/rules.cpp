// The library's keyword table: each keyword with its handler.
#include "checks/rules.h"

namespace ondrel {

namespace {

constexpr Keyword kLibraryKeywords[] = {
    {"FILESIZE", &FileSizeRule},
    {"FILESIZE>", &FileSizeAtLeastRule},
    {"FILESIZE<", &FileSizeAtMostRule},
    {"INI", &IniRule},
    {"CRC32", &Crc32Rule},
    {"MD5", &Md5Rule},
    {"ENDMD5", &EndMd5Rule},
    {"SIZEMD5", &SizeMd5Rule},
    {"ICONMD5", &IconDigestRule},
    {"BRMD5", &BitmapDigestRule},
    {"RESMD5", &ResourceDigestRule},
    {"SECSIZE", &SectionSizeRule},
    {"SSECMD5", &SectionDigestRule},
    {"SECMD5", &AllSectionsDigestRule},
    {"FLAGIFNOFILE", nullptr},  // sets the result to true
};

}  // namespace

std::span<const Keyword> LibraryKeywords() noexcept { return kLibraryKeywords; }

}  // namespace ondrel
