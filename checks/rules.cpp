// The library's keyword table: each keyword with its handler.
#include "checks/rules.h"

namespace ondrel {

namespace {

constexpr Keyword kLibraryKeywords[] = {
    {"FILESIZE", &FileSizeRule, RuleFamily::FileSize, ValueForm::Computed},
    {"FILESIZE>", &FileSizeAtLeastRule, RuleFamily::FileSize, ValueForm::Bound},
    {"FILESIZE<", &FileSizeAtMostRule, RuleFamily::FileSize, ValueForm::Bound},
    {"INI", &IniRule, RuleFamily::Ini, ValueForm::Fragment},
    {"CRC32", &Crc32Rule, RuleFamily::Checksum, ValueForm::Computed},
    {"MD5", &Md5Rule, RuleFamily::Digest, ValueForm::Computed},
    {"ENDMD5", &EndMd5Rule, RuleFamily::Digest, ValueForm::Arguments},
    {"SIZEMD5", &SizeMd5Rule, RuleFamily::Digest, ValueForm::Arguments},
    {"ICONMD5", &IconDigestRule, RuleFamily::Resource, ValueForm::Arguments},
    {"BRMD5", &BitmapDigestRule, RuleFamily::Resource, ValueForm::Arguments},
    {"RESMD5", &ResourceDigestRule, RuleFamily::Resource, ValueForm::Arguments},
    {"SECSIZE", &SectionSizeRule, RuleFamily::Section, ValueForm::Computed},
    {"SSECMD5", &SectionDigestRule, RuleFamily::Section, ValueForm::Arguments},
    {"SECMD5", &AllSectionsDigestRule, RuleFamily::Section, ValueForm::Computed},
    {"FLAGIFNOFILE", nullptr, RuleFamily::Flag, ValueForm::Any},  // sets the result to true
};

}  // namespace

std::span<const Keyword> LibraryKeywords() noexcept { return kLibraryKeywords; }

}  // namespace ondrel
