// Our PE reader on images held in memory: each bound exactly met, missed by
// one byte, and overflowed.
#include <gtest/gtest.h>

#include "platform/pe/pe_reader.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

namespace pe = ondrel::pe;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;

namespace {

void Put32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put16(std::string& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

std::optional<pe::SectionTable> Sections(const std::string& bytes) {
    pe::MemorySource source(bytes.data(), bytes.size());
    return pe::ReadSectionTable(source);
}

struct HeaderCase {
    const char* name;
    std::uint32_t lfanew;     // offset of "PE\0\0"
    std::size_t size;         // file size
    bool image;
};

class ImageHeaderBounds : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ImageHeaderBounds, NeedsAWholeFileHeader) {
    const HeaderCase& c = GetParam();
    std::string b(std::max<std::size_t>(c.size, 64), '\0');
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, c.lfanew);
    if (std::uint64_t{c.lfanew} + 4 <= b.size()) b.replace(c.lfanew, 4, std::string("PE\0\0", 4));
    b.resize(c.size);
    EXPECT_EQ(Sections(b).has_value(), c.image);
}

INSTANTIATE_TEST_SUITE_P(Bounds, ImageHeaderBounds,
                         ::testing::Values(HeaderCase{"FitsExactly", 64, 88, true},
                                           HeaderCase{"OneByteShort", 64, 87, false},
                                           HeaderCase{"InsideTheDosHeader", 8, 64, true},
                                           HeaderCase{"DosHeaderShort", 8, 63, false},
                                           HeaderCase{"OffsetOverflows", 0xFFFFFFFF, 200, false},
                                           HeaderCase{"OffsetNegative", 0x80000000, 200, false}),
                         ondrel::testing::CaseName());

TEST(SectionTableBounds, HugeCountsReadOnlyWhatTheFileHolds) {
    PeImage image;
    image.sections = {{"A", "x"}};
    PeImage::Built built = image.Build();
    std::string b = built.bytes;
    Put16(b, 64 + 6, 0xFFFF);
    std::optional<pe::SectionTable> table = Sections(b);
    ASSERT_TRUE(table);
    EXPECT_FALSE(table->complete);
    EXPECT_EQ(table->numberOfSections, 0xFFFF);
    EXPECT_EQ(table->headers.size(), (b.size() - built.sectionTable) / 40);

    // A table that ends exactly at the end of the file is complete; a byte less is not.
    std::string exact = built.bytes.substr(0, built.sectionTable + 40);
    EXPECT_TRUE(Sections(exact)->complete);
    EXPECT_FALSE(Sections(exact.substr(0, exact.size() - 1))->complete);
    Put16(b, 64 + 20, 0xFFFF);  // an optional header larger than the file
    EXPECT_TRUE(Sections(b)->headers.empty());
}

TEST(ResourceDirectory, LoopsAndWildOffsetsEnd) {
    PeImage image;
    image.resources = {{PeKey::Id(10), PeKey::Id(1), 0x409, "data"}};
    PeImage::Built built = image.Build();
    const std::size_t root = built.resourceSection;
    for (std::uint32_t target : {0x80000000u, 0xFFFFFFFFu, 0x8000FFF0u, 0x7FFFFFFFu}) {
        std::string b = built.bytes;
        Put32(b, root + 16 + 4, target);  // the type entry points to the root itself, or far away
        pe::MemorySource source(b.data(), b.size());
        EXPECT_FALSE(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1))) << target;
        EXPECT_LE(pe::ListResources(source).size(), 1u) << target;
    }
    // The name entry points back to the type directory: three levels and no more.
    std::string b = built.bytes;
    Put32(b, root + 24 + 16 + 4, 0x80000000u | 24u);
    pe::MemorySource source(b.data(), b.size());
    EXPECT_FALSE(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1)));
    EXPECT_TRUE(pe::ListResources(source).empty());
}

TEST(ResourceDirectory, CountsBeyondTheFileEndTheLookup) {
    PeImage image;
    image.resources = {{PeKey::Id(10), PeKey::Id(1), 0x409, "data"}};
    PeImage::Built built = image.Build();
    std::string b = built.bytes;
    Put16(b, built.resourceSection + 14, 0xFFFF);  // 65535 type entries claimed
    pe::MemorySource source(b.data(), b.size());
    EXPECT_FALSE(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1)));
    EXPECT_LE(pe::ListResources(source).size(), 1u);
}

TEST(ResourceKeys, HashTexts) {
    struct Case {
        const char* text;
        std::optional<std::uint16_t> id;
    };
    for (const Case& c : {Case{"#100", 100}, Case{"#0100", 100}, Case{"# 7", 7}, Case{"#+7", 7}, Case{"#7x", 7},
                          Case{"#", 0}, Case{"#x", 0}, Case{"#65535", 65535}, Case{"#65536", std::nullopt},
                          Case{"#-1", std::nullopt}, Case{"#-0", 0}, Case{"#4294967396", 100}}) {
        std::optional<pe::ResourceKey> key = pe::ResourceKeyFromAnsi(c.text);
        EXPECT_EQ(key.has_value(), c.id.has_value()) << c.text;
        if (key && c.id) {
            EXPECT_TRUE(key->isId) << c.text;
            EXPECT_EQ(key->id, *c.id) << c.text;
        }
    }
    std::optional<pe::ResourceKey> name = pe::ResourceKeyFromAnsi("MainIcon\x80");
    ASSERT_TRUE(name);
    EXPECT_FALSE(name->isId);
    EXPECT_EQ(name->name, u"MAINICON\u20AC");
}

}  // namespace

TEST(ResourceDirectory, ExactLanguageFindsOnlyThatLanguage) {
    PeImage image;
    const std::uint16_t languages[] = {0x407, 0x409, 0x40C};
    for (std::uint16_t language : languages)
        image.resources.push_back({PeKey::Id(10), PeKey::Id(1), language, "language " + std::to_string(language)});
    const std::string bytes = image.Bytes();
    pe::MemorySource source(bytes.data(), bytes.size());
    for (std::uint16_t language : languages) {
        std::optional<pe::ResourceData> found =
            pe::FindResourceDataInLanguage(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1), language);
        ASSERT_TRUE(found) << language;
        EXPECT_EQ(found->language, language);
        std::string data(found->size, '\0');
        ASSERT_TRUE(source.ReadAt(found->fileOffset, data.data(), data.size()));
        EXPECT_EQ(data, "language " + std::to_string(language));
    }
    EXPECT_FALSE(pe::FindResourceDataInLanguage(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1), 0x411));
    EXPECT_FALSE(pe::FindResourceDataInLanguage(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(2), 0x409));
    // The lookup without a language prefers the user's language among them.
    EXPECT_EQ(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1))->language, 0x409);
}
