// "ICONMD5", "BRMD5" and "RESMD5" over images built by the test writer.
#include <gtest/gtest.h>

#include "checks/resource_rules.h"
#include "checksums/md5.h"
#include "ondrel.h"
#include "tests/support/digests.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

using ondrel::testing::DigestOfBytes;
using ondrel::testing::kEmptyDigestText;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::PeResource;
using ondrel::testing::TempDir;

namespace {


PeResource Res(PeKey type, PeKey name, std::string data, std::uint16_t language = 0x409) {
    return {std::move(type), std::move(name), language, std::move(data)};
}

// One image with the resources the cases below look for.
class ResourceRules : public ::testing::Test {
protected:
    static std::string Build() {
        PeImage image;
        image.sections = {{"CODE", "code bytes"}};
        image.resources = {
            Res(PeKey::Id(14), PeKey::Name(u"MAINICON"), "group icon"),
            Res(PeKey::Id(3), PeKey::Name(u"MAINICON"), "icon image"),
            Res(PeKey::Id(14), PeKey::Name(u"OTHER"), "other group"),
            Res(PeKey::Id(2), PeKey::Id(100), "bitmap 100"),
            Res(PeKey::Id(2), PeKey::Name(u"100"), "bitmap named 100"),
            Res(PeKey::Id(2), PeKey::Name(u"100A"), "bitmap 100A"),
            Res(PeKey::Id(2), PeKey::Id(0), "bitmap 0"),
            Res(PeKey::Id(10), PeKey::Id(7), ""),
            Res(PeKey::Name(u"14"), PeKey::Name(u"MAINICON"), "type named 14"),
            Res(PeKey::Name(u"CUSTOM"), PeKey::Name(u"THING"), "custom thing"),
            Res(PeKey::Name(u"CUSTOM"), PeKey::Name(u"lower"), "stored in small letters"),
        };
        return image.Bytes();
    }
    TempDir dir;
    std::string file = dir.Write("resources.dll", Build());
};

struct DigestCase {
    const char* name;
    const char* nameText;
    ondrel::platform::ResourceArgument type;
    const char* data;  // null: nothing found
};

class ResourceDigestCases : public ResourceRules, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(ResourceDigestCases, FindsTheResource) {
    const DigestCase& c = GetParam();
    EXPECT_EQ(ondrel::ResourceDigest(file, c.nameText, c.type), c.data ? DigestOfBytes(c.data) : std::string());
}

ondrel::platform::ResourceArgument Type(std::uint16_t id) { return {true, id, {}}; }
ondrel::platform::ResourceArgument Type(const char* text) { return {false, 0, text}; }

INSTANTIATE_TEST_SUITE_P(
    Lookups, ResourceDigestCases,
    ::testing::Values(DigestCase{"GroupIcon", "MAINICON", Type(14), "group icon"},
                      DigestCase{"SmallLettersAreUpperCased", "mainicon", Type(14), "group icon"},
                      DigestCase{"IconImage", "MAINICON", Type(3), "icon image"},
                      DigestCase{"Identifier", "100", Type(2), "bitmap 100"},
                      DigestCase{"Hexadecimal", "$64", Type(2), "bitmap 100"},
                      DigestCase{"HexadecimalX", "0x64", Type(2), "bitmap 100"},
                      DigestCase{"ZeroPadded", "00100", Type(2), "bitmap 100"},
                      DigestCase{"LeadingSpace", " 100", Type(2), "bitmap 100"},
                      DigestCase{"HashDigitsAreAnIdentifier", "#100", Type(2), "bitmap 100"},
                      DigestCase{"LetterAfterDigits", "100a", Type(2), "bitmap 100A"},
                      DigestCase{"IdentifierZero", "0", Type(2), "bitmap 0"},
                      DigestCase{"Negative", "-1", Type(2), nullptr},
                      DigestCase{"TooLarge", "65636", Type(2), nullptr},
                      DigestCase{"HashTooLarge", "#65536", Type(2), nullptr},
                      DigestCase{"NoSuchName", "MISSING", Type(14), nullptr},
                      DigestCase{"EmptyData", "7", Type(10), ""},
                      DigestCase{"TypeName", "THING", Type("CUSTOM"), "custom thing"},
                      DigestCase{"TypeNameInSmallLetters", "THING", Type("custom"), "custom thing"},
                      DigestCase{"TypeNameOfDigits", "MAINICON", Type("14"), "type named 14"},
                      DigestCase{"HashTypeIsAnIdentifier", "MAINICON", Type("#14"), "group icon"},
                      DigestCase{"StoredSmallLettersNeverMatch", "lower", Type("CUSTOM"), nullptr}),
    ondrel::testing::CaseName());

struct RuleCase {
    const char* name;
    std::string list;
    int result;
};

class ResourceRuleCases : public ResourceRules, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(ResourceRuleCases, Evaluates) { EXPECT_EQ(AdvancedCheck(file.c_str(), GetParam().list.c_str()), GetParam().result); }

INSTANTIATE_TEST_SUITE_P(
    Rules, ResourceRuleCases,
    ::testing::Values(
        RuleCase{"IconDefaultIsGroupIcon", "ICONMD5=" + DigestOfBytes("group icon"), 1},
        RuleCase{"IconDefaultWithDash", "ICONMD5=-" + DigestOfBytes("group icon"), 1},
        RuleCase{"IconNotType3", "ICONMD5=" + DigestOfBytes("icon image"), 0},
        RuleCase{"IconNamed", "ICONMD5=OTHER-" + DigestOfBytes("other group"), 1},
        RuleCase{"BitmapDefaultIsIdentifier100", "BRMD5=" + DigestOfBytes("bitmap 100"), 1},
        RuleCase{"BitmapNotTheName100", "BRMD5=" + DigestOfBytes("bitmap named 100"), 0},
        RuleCase{"BitmapHexadecimal", "BRMD5=$64-" + DigestOfBytes("bitmap 100"), 1},
        RuleCase{"BitmapLetterAfterDigits", "BRMD5=100A-" + DigestOfBytes("bitmap 100A"), 1},
        RuleCase{"ResTypeTable", "RESMD5=RT_GROUP_ICON|MAINICON|" + DigestOfBytes("group icon"), 1},
        RuleCase{"ResTypeTableSmallLetters", "RESMD5=rt_group_icon|MAINICON|", 1},
        RuleCase{"ResTypeDecimalIsAName", "RESMD5=14|MAINICON|" + DigestOfBytes("type named 14"), 1},
        RuleCase{"ResBitmap", "RESMD5=RT_BITMAP|$64|" + DigestOfBytes("bitmap 100"), 1},
        RuleCase{"ResNegativeName", "RESMD5=RT_BITMAP|-100|", 1},
        RuleCase{"ResDigestKeepsBars", "RESMD5=RT_BITMAP|100|" + DigestOfBytes("bitmap 100") + "|", 0},
        RuleCase{"ResEmptyData", "RESMD5=RT_RCDATA|7|" + kEmptyDigestText, 1},
        // One "|": the name is empty and the expected text loses its first character.
        RuleCase{"ResOneBar", "RESMD5=RT_BITMAP|x", 1},
        RuleCase{"ResOneBarLongerExpected", "RESMD5=RT_BITMAP|xy", 0},
        // No "|": type and name empty, the expected text is the value without two characters.
        RuleCase{"ResNoBar", "RESMD5=ab", 1},
        RuleCase{"ResNoBarLonger", "RESMD5=abc", 0}),
    ondrel::testing::CaseName());

TEST_F(ResourceRules, RuleValueCutsByLengths) {
    // The digest is everything after the second bar, and it is compared exactly.
    EXPECT_EQ(AdvancedCheck(file.c_str(), ("RESMD5=CUSTOM|THING|" + DigestOfBytes("custom thing")).c_str()), 1);
    std::string lower = DigestOfBytes("custom thing");
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(AdvancedCheck(file.c_str(), ("RESMD5=CUSTOM|THING|" + lower).c_str()), 0);
}

TEST(ResourceRulesOnOtherFiles, NoResourcesOrNoImage) {
    TempDir dir;
    PeImage plain;
    plain.sections = {{"CODE", "x"}};
    std::string noResources = dir.Write("plain.dll", plain.Bytes());
    std::string text = dir.Write("text.dll", "not an image");
    std::string missing = dir.File("missing.dll");
    for (const std::string& file : {noResources, text, missing}) {
        EXPECT_EQ(AdvancedCheck(file.c_str(), "ICONMD5=,BRMD5=,RESMD5=RT_ICON|1|,RESMD5="), 1) << file;
        EXPECT_EQ(AdvancedCheck(file.c_str(), ("ICONMD5=" + kEmptyDigestText).c_str()), 0) << file;
    }
}

struct LanguageCase {
    const char* name;
    std::vector<std::uint16_t> languages;  // the data of each is its language's number
    std::uint16_t chosen;
};

class LanguageChoice : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(LanguageChoice, AmongSeveralLanguages) {
    PeImage image;
    for (std::uint16_t language : GetParam().languages)
        image.resources.push_back(Res(PeKey::Id(10), PeKey::Id(1), "language " + std::to_string(language), language));
    TempDir dir;
    std::string file = dir.Write("languages.dll", image.Bytes());
    EXPECT_EQ(ondrel::ResourceDigest(file, "1", Type(10)), DigestOfBytes("language " + std::to_string(GetParam().chosen)));
}

// Where the user's language is English (United States), as on POSIX.
INSTANTIATE_TEST_SUITE_P(
    Languages, LanguageChoice,
    ::testing::Values(LanguageCase{"NeutralFirst", {0x000, 0x407, 0x409}, 0x000},
                      LanguageCase{"UserLanguage", {0x407, 0x409, 0x809}, 0x409},
                      LanguageCase{"NeutralSublanguage", {0x007, 0x009, 0x407}, 0x009},
                      LanguageCase{"FirstWhenNoneFits", {0x40C, 0x407}, 0x407},
                      LanguageCase{"OnlyOne", {0x411}, 0x411}),
    ondrel::testing::CaseName());

TEST(ResourceData, OutsideTheFileOrAnySection) {
    PeImage image;
    image.resources = {Res(PeKey::Id(10), PeKey::Id(1), "0123456789abcdef")};
    PeImage::Built built = image.Build();
    TempDir dir;
    auto withDataEntry = [&](std::uint32_t address, std::uint32_t size) {
        std::string b = built.bytes;
        // The only data entry follows the three directories of one entry each.
        std::size_t entry = built.resourceSection + 3 * 24;
        for (int i = 0; i < 4; ++i) {
            b[entry + static_cast<std::size_t>(i)] = static_cast<char>((address >> (8 * i)) & 0xFF);
            b[entry + 4 + static_cast<std::size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xFF);
        }
        return dir.Write("damaged.dll", b);
    };
    const std::uint32_t dataAddress = built.resourceAddress + 3 * 24 + 16;
    EXPECT_EQ(ondrel::ResourceDigest(withDataEntry(dataAddress, 16), "1", Type(10)), DigestOfBytes("0123456789abcdef"));
    EXPECT_EQ(ondrel::ResourceDigest(withDataEntry(dataAddress, 0), "1", Type(10)), kEmptyDigestText);
    EXPECT_EQ(ondrel::ResourceDigest(withDataEntry(dataAddress, 0x7FFFFFFF), "1", Type(10)), "");
    EXPECT_EQ(ondrel::ResourceDigest(withDataEntry(dataAddress, 0xFFFFFFFF), "1", Type(10)), "");
    EXPECT_EQ(ondrel::ResourceDigest(withDataEntry(0x10, 4), "1", Type(10)), "");          // in the headers
    EXPECT_EQ(ondrel::ResourceDigest(withDataEntry(0x7FFF0000, 4), "1", Type(10)), "");    // in no section
}

TEST(ResourceNames, Windows1252LettersAreUpperCased) {
#ifdef _WIN32
    if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is not Windows-1252";
#endif
    PeImage image;
    image.resources = {Res(PeKey::Id(10), PeKey::Name(u"\u00C9T\u00C9\u0178\u0152"), "accented")};
    TempDir dir;
    std::string file = dir.Write("accents.dll", image.Bytes());
    EXPECT_EQ(ondrel::ResourceDigest(file, "\xE9t\xE9\xFF\x9C", Type(10)), DigestOfBytes("accented"));
    EXPECT_EQ(ondrel::ResourceDigest(file, "\xC9T\xC9\x9F\x8C", Type(10)), DigestOfBytes("accented"));
}

}  // namespace
