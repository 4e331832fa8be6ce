// The library's keyword table: each rule's one row.
#include "checks/rules.h"

namespace ondrel {

namespace {

// The names the named rules take when the value names none.
constexpr char kCodeSection[] = "CODE";
constexpr char kMainIcon[] = "MAINICON";
constexpr char kFirstBitmap[] = "100";

constexpr Keyword kLibraryKeywords[] = {
    ComputedRow<&ParseWhole, &FormatWhole, &FileSizeText>("FILESIZE", RuleFamily::FileSize, ValueForm::Computed,
                                                          kReadsEntrySize),
    CheckedRow("FILESIZE>", &FileSizeAtLeastRule, RuleFamily::FileSize, ValueForm::Bound, kReadsEntrySize),
    CheckedRow("FILESIZE<", &FileSizeAtMostRule, RuleFamily::FileSize, ValueForm::Bound, kReadsEntrySize),
    CheckedRow("INI", &IniRule, RuleFamily::Ini, ValueForm::Fragment, kReadsIniText),
    ComputedRow<&ParseWhole, &FormatWhole, &Crc32Text>("CRC32", RuleFamily::Checksum, ValueForm::Computed,
                                                       kReadsWholeFile),
    ComputedRow<&ParseWhole, &FormatWhole, &Md5Text>("MD5", RuleFamily::Digest, ValueForm::Computed, kReadsWholeFile),
    // count "|" [skip "|"] digest: the count bytes that end skip bytes before the end of the file.
    ComputedRow<&ParseCountSkip, &FormatCountSkip, &EndDigestText>("ENDMD5", RuleFamily::Digest,
                                                                   ValueForm::Arguments,
                                                                   kReadsEntrySize | kReadsRanges),
    // first "|" last "|" digest: the bytes from offset first to offset last.
    ComputedRow<&ParseTwoBars, &FormatTwoBars, &RangeDigestText>("SIZEMD5", RuleFamily::Digest, ValueForm::Arguments,
                                                                 kReadsRanges),
    // [name "-"] digest, here and in the two named rules below.
    ComputedRow<&ParseNamed<kMainIcon>, &FormatNamed, &IconDigestText>("ICONMD5", RuleFamily::Resource,
                                                                       ValueForm::Arguments, kReadsResources),
    ComputedRow<&ParseNamed<kFirstBitmap>, &FormatNamed, &BitmapDigestText>("BRMD5", RuleFamily::Resource,
                                                                            ValueForm::Arguments, kReadsResources),
    // type "|" name "|" digest.
    ComputedRow<&ParseTwoBars, &FormatTwoBars, &ResourceDigestText>("RESMD5", RuleFamily::Resource,
                                                                    ValueForm::Arguments, kReadsResources),
    ComputedRow<&ParseWhole, &FormatWhole, &SectionSizeText>("SECSIZE", RuleFamily::Section, ValueForm::Computed,
                                                             kReadsSections),
    ComputedRow<&ParseNamed<kCodeSection>, &FormatNamed, &SectionDigestText>("SSECMD5", RuleFamily::Section,
                                                                             ValueForm::Arguments, kReadsSections),
    ComputedRow<&ParseWhole, &FormatWhole, &AllSectionsDigestText>("SECMD5", RuleFamily::Section,
                                                                   ValueForm::Computed, kReadsSections),
    CheckedRow("FLAGIFNOFILE", nullptr, RuleFamily::Flag, ValueForm::Any, 0),  // sets the result to true
};

}  // namespace

std::span<const Keyword> LibraryKeywords() noexcept { return kLibraryKeywords; }

const Keyword* LibraryKeyword(std::string_view name) noexcept {
    for (const Keyword& k : kLibraryKeywords)
        if (k.name == name) return &k;
    return nullptr;
}

}  // namespace ondrel
