// Our PE reader on images held in memory: each bound exactly met, missed by
// one byte, and overflowed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "platform/pe/pe_reader.h"
#include "platform/reader.h"
#include "tests/support/bytes.h"
#include "tests/support/pe_writer.h"
#include "tests/support/test_files.h"

namespace pe = ondrel::pe;
using ondrel::testing::PeImage;
using ondrel::testing::PeKey;
using ondrel::testing::Put16;
using ondrel::testing::Put32;

namespace {

pe::Result<pe::SectionTable> Sections(const std::string& bytes) {
    auto source = ondrel::platform::FileReader::Over(bytes.data(), bytes.size());
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
    pe::Result<pe::SectionTable> table = Sections(b);
    ASSERT_TRUE(table);
    EXPECT_FALSE(table->complete());
    EXPECT_EQ(table->numberOfSections, 0xFFFF);
    EXPECT_EQ(table->headers.size(), (b.size() - built.sectionTable) / 40);

    // A table that ends exactly at the end of the file is complete; a byte less is not.
    std::string exact = built.bytes.substr(0, built.sectionTable + 40);
    EXPECT_TRUE(Sections(exact)->complete());
    EXPECT_FALSE(Sections(exact.substr(0, exact.size() - 1))->complete());
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
        auto source = ondrel::platform::FileReader::Over(b.data(), b.size());
        EXPECT_FALSE(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1))) << target;
        EXPECT_LE(pe::ListResources(source).size(), 1u) << target;
    }
    // The name entry points back to the type directory: three levels and no more.
    std::string b = built.bytes;
    Put32(b, root + 24 + 16 + 4, 0x80000000u | 24u);
    auto source = ondrel::platform::FileReader::Over(b.data(), b.size());
    EXPECT_FALSE(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1)));
    EXPECT_TRUE(pe::ListResources(source).empty());
}

// Three full directories whose entries all lead to the next one: a walk of
// every path would read 65535^3 entries; the listing stops at its budget.
TEST(ResourceDirectory, DirectoriesPointingAtEachOtherEndTheListing) {
    constexpr std::uint32_t kEntries = 0xFFFF;
    constexpr std::uint32_t kDirectory = 16 + 8 * kEntries;
    PeImage image;
    image.resources = {{PeKey::Id(10), PeKey::Id(1), 0, std::string(3 * kDirectory, 'x')}};
    PeImage::Built built = image.Build();
    std::string b = built.bytes;
    const std::size_t root = built.resourceSection;
    for (std::uint32_t d = 0; d < 3; ++d) {
        const std::size_t at = root + d * kDirectory;
        Put16(b, at + 12, 0);         // no named entries
        Put16(b, at + 14, kEntries);  // identifier entries
        const std::uint32_t next = ((d + 1) % 3) * kDirectory;
        for (std::uint32_t i = 0; i < kEntries; ++i) {
            Put32(b, at + 16 + 8 * i, i);
            Put32(b, at + 16 + 8 * i + 4, 0x80000000u | next);
        }
    }
    ASSERT_EQ(b.size(), built.bytes.size());  // all inside the resource section
    auto source = ondrel::platform::FileReader::Over(b.data(), b.size());
    // Language entries that are directories are no resources.
    EXPECT_TRUE(pe::ListResources(source).empty());
    // The lookup searches one path only.
    EXPECT_FALSE(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1)));
}

TEST(ResourceDirectory, CountsBeyondTheFileEndTheLookup) {
    PeImage image;
    image.resources = {{PeKey::Id(10), PeKey::Id(1), 0x409, "data"}};
    PeImage::Built built = image.Build();
    std::string b = built.bytes;
    Put16(b, built.resourceSection + 14, 0xFFFF);  // 65535 type entries claimed
    auto source = ondrel::platform::FileReader::Over(b.data(), b.size());
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
    auto source = ondrel::platform::FileReader::Over(bytes.data(), bytes.size());
    for (std::uint16_t language : languages) {
        std::optional<pe::ResourceData> found =
            ondrel::testing::FindResourceDataInLanguage(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1), language);
        ASSERT_TRUE(found) << language;
        EXPECT_EQ(found->language, language);
        std::string data(found->size, '\0');
        ASSERT_TRUE(source.ReadAt(found->fileOffset, data.data(), data.size()));
        EXPECT_EQ(data, "language " + std::to_string(language));
    }
    EXPECT_FALSE(ondrel::testing::FindResourceDataInLanguage(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1), 0x411));
    EXPECT_FALSE(ondrel::testing::FindResourceDataInLanguage(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(2), 0x409));
    // The lookup without a language prefers the user's language among them.
    EXPECT_EQ(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1))->language, 0x409);
}

namespace {

// ---- Why the reader has no answer ----

// An image with one section and one resource (type 10, name 1, language
// 0x409), and where its parts lie. In the resource section: the root at 0,
// its one entry at 16, the type directory at 24 (entry at 40), the name
// directory at 48 (entry at 64), the data entry at 72.
struct Sample {
    PeImage::Built built;
    std::size_t rsrc = 0;
    Sample() {
        PeImage image;
        image.sections = {{"A", "x"}};
        image.resources = {{PeKey::Id(10), PeKey::Id(1), 0x409, "data"}};
        built = image.Build();
        rsrc = built.resourceSection;
    }
    std::size_t Nt() const { return 64; }
    std::size_t ResourceDirectory() const { return built.optionalHeader + 96 + 2 * 8; }
};

using Damage = std::function<void(std::string&, const Sample&)>;

// The sample's bytes after the damage.
std::string Damaged(const Damage& damage) {
    const Sample sample;
    std::string b = sample.built.bytes;
    damage(b, sample);
    return b;
}

struct DamageCase {
    const char* name;
    Damage damage;
    pe::Failure failure;
};

class ImageHeaderFailure : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ImageHeaderFailure, SaysWhy) {
    const DamageCase& c = GetParam();
    const std::string b = Damaged(c.damage);
    auto source = ondrel::platform::FileReader::Over(b.data(), b.size());
    pe::Result<pe::ImageHeaders> headers = pe::ReadImageHeaders(source);
    pe::Result<pe::SectionTable> table = pe::ReadSectionTable(source);
    EXPECT_FALSE(headers);
    EXPECT_FALSE(table);
    EXPECT_EQ(headers.failure(), c.failure) << pe::FailureText(headers.failure());
    EXPECT_EQ(table.failure(), c.failure) << pe::FailureText(table.failure());
    // The resource lookup stops at the same place, for the same reason.
    EXPECT_EQ(pe::FindResourceData(source, pe::ResourceKey::Id(10), pe::ResourceKey::Id(1)).failure(), c.failure);
    EXPECT_TRUE(pe::ListResources(source).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Damaged, ImageHeaderFailure,
    ::testing::Values(
        DamageCase{"Empty", [](std::string& b, const Sample&) { b.clear(); }, pe::Failure::NoMz},
        DamageCase{"OneByte", [](std::string& b, const Sample&) { b.resize(1); }, pe::Failure::NoMz},
        DamageCase{"NoMz", [](std::string& b, const Sample&) { b[1] = 'Y'; }, pe::Failure::NoMz},
        DamageCase{"EndsInTheDosHeader", [](std::string& b, const Sample&) { b.resize(63); },
                   pe::Failure::ShortDosHeader},
        DamageCase{"LfanewAtTheEnd", [](std::string& b, const Sample&) { Put32(b, 0x3C, static_cast<std::uint32_t>(b.size())); },
                   pe::Failure::NtHeadersPastEnd},
        DamageCase{"SignatureCut",
                   [](std::string& b, const Sample&) { Put32(b, 0x3C, static_cast<std::uint32_t>(b.size() - 3)); },
                   pe::Failure::NtHeadersPastEnd},
        DamageCase{"LfanewOverflows", [](std::string& b, const Sample&) { Put32(b, 0x3C, 0xFFFFFFFF); },
                   pe::Failure::NtHeadersPastEnd},
        DamageCase{"NoSignature", [](std::string& b, const Sample& s) { b[s.Nt() + 2] = 'X'; },
                   pe::Failure::NoPeSignature},
        DamageCase{"LowerCaseSignature", [](std::string& b, const Sample& s) { b[s.Nt()] = 'p'; },
                   pe::Failure::NoPeSignature},
        DamageCase{"FileHeaderCut", [](std::string& b, const Sample& s) { b.resize(s.Nt() + 23); },
                   pe::Failure::FileHeaderPastEnd},
        DamageCase{"SignatureLastInTheFile",
                   [](std::string& b, const Sample&) {
                       Put32(b, 0x3C, static_cast<std::uint32_t>(b.size() - 4));
                       b.replace(b.size() - 4, 4, std::string("PE\0\0", 4));
                   },
                   pe::Failure::FileHeaderPastEnd}),
    ondrel::testing::CaseName());

// Every read fails from a given offset on, though the size says the bytes are there.
class FailingSource final : public pe::ByteSource {
public:
    FailingSource(const std::string& bytes, std::uint64_t failFrom)
        : inner_(ondrel::platform::FileReader::Over(bytes.data(), bytes.size())), failFrom_(failFrom) {}
    std::uint64_t Size() const noexcept override { return inner_.Size(); }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count) noexcept override {
        return offset + count <= failFrom_ && inner_.ReadAt(offset, out, count);
    }

private:
    ondrel::platform::FileReader inner_;
    std::uint64_t failFrom_;
};

TEST(ReaderFailures, ReadErrorsAreNotDamage) {
    const Sample sample;
    FailingSource nothing(sample.built.bytes, 0);
    EXPECT_EQ(pe::ReadImageHeaders(nothing).failure(), pe::Failure::ReadFailed);
    // The headers read, the section table does not.
    FailingSource noTable(sample.built.bytes, sample.built.sectionTable);
    EXPECT_TRUE(pe::ReadImageHeaders(noTable));
    EXPECT_EQ(pe::ReadImageHeaders(noTable).failure(), pe::Failure::None);
    EXPECT_EQ(pe::ReadSectionTable(noTable).failure(), pe::Failure::ReadFailed);
}

TEST(ReaderFailures, EveryFailureHasItsOwnText) {
    std::vector<std::string> texts;
    for (int f = static_cast<int>(pe::Failure::None); f <= static_cast<int>(pe::Failure::ResourceDataOutside); ++f) {
        const std::string text = pe::FailureText(static_cast<pe::Failure>(f));
        EXPECT_FALSE(text.empty()) << f;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 0) << text;
        texts.push_back(text);
    }
    EXPECT_STREQ(pe::FailureText(pe::Failure::NoMz), "no MZ");
}

struct ResourceCase {
    const char* name;
    Damage damage;
    std::uint16_t type;
    std::uint16_t id;
    std::optional<std::uint16_t> language;  // the lookup of exactly this language
    pe::Failure failure;
};

class ResourceFailure : public ::testing::TestWithParam<ResourceCase> {};

TEST_P(ResourceFailure, SaysWhy) {
    const ResourceCase& c = GetParam();
    const std::string b = Damaged(c.damage);
    auto source = ondrel::platform::FileReader::Over(b.data(), b.size());
    const pe::ResourceKey type = pe::ResourceKey::Id(c.type), name = pe::ResourceKey::Id(c.id);
    pe::Result<pe::ResourceData> found = c.language ? ondrel::testing::FindResourceDataInLanguage(source, type, name, *c.language)
                                                    : pe::FindResourceData(source, type, name);
    EXPECT_EQ(found.has_value(), c.failure == pe::Failure::None);
    EXPECT_EQ(found.failure(), c.failure) << pe::FailureText(found.failure());
    // The image itself is sound: its sections still read.
    EXPECT_TRUE(pe::ReadSectionTable(source));
}

void Untouched(std::string&, const Sample&) {}

INSTANTIATE_TEST_SUITE_P(
    Damaged, ResourceFailure,
    ::testing::Values(
        ResourceCase{"Sound", Untouched, 10, 1, std::nullopt, pe::Failure::None},
        ResourceCase{"SoundInItsLanguage", Untouched, 10, 1, 0x409, pe::Failure::None},
        ResourceCase{"NoSuchType", Untouched, 11, 1, std::nullopt, pe::Failure::NoSuchType},
        ResourceCase{"NoSuchName", Untouched, 10, 2, std::nullopt, pe::Failure::NoSuchName},
        ResourceCase{"NoSuchLanguage", Untouched, 10, 1, 0x411, pe::Failure::NoSuchLanguage},
        ResourceCase{"UnknownMagic", [](std::string& b, const Sample& s) { Put16(b, s.built.optionalHeader, 0x107); },
                     10, 1, std::nullopt, pe::Failure::UnknownOptionalHeader},
        ResourceCase{"TwoDataDirectories",
                     [](std::string& b, const Sample& s) { Put32(b, s.built.optionalHeader + 92, 2); }, 10, 1,
                     std::nullopt, pe::Failure::NoResourceDirectory},
        ResourceCase{"NoResourceAddress", [](std::string& b, const Sample& s) { Put32(b, s.ResourceDirectory(), 0); },
                     10, 1, std::nullopt, pe::Failure::NoResourceDirectory},
        ResourceCase{"ResourceSizeBelowOneDirectory",
                     [](std::string& b, const Sample& s) { Put32(b, s.ResourceDirectory() + 4, 15); }, 10, 1,
                     std::nullopt, pe::Failure::NoResourceDirectory},
        ResourceCase{"RootInNoSection",
                     [](std::string& b, const Sample& s) { Put32(b, s.ResourceDirectory(), 0x7FFF0000); }, 10, 1,
                     std::nullopt, pe::Failure::ResourceDirectoryNowhere},
        ResourceCase{"RootCut", [](std::string& b, const Sample& s) { b.resize(s.rsrc + 15); }, 10, 1, std::nullopt,
                     pe::Failure::ResourceDirectoryPastEnd},
        ResourceCase{"TypeDirectoryFarAway",
                     [](std::string& b, const Sample& s) { Put32(b, s.rsrc + 16 + 4, 0xFFFFFFF0); }, 10, 1,
                     std::nullopt, pe::Failure::ResourceDirectoryPastEnd},
        ResourceCase{"TypeEntriesPastTheEnd", [](std::string& b, const Sample& s) { Put16(b, s.rsrc + 14, 0xFFFF); },
                     10, 1, std::nullopt, pe::Failure::ResourceEntryPastEnd},
        ResourceCase{"LanguageEntriesPastTheEnd",
                     [](std::string& b, const Sample& s) { Put16(b, s.rsrc + 48 + 14, 0xFFFF); }, 10, 1,
                     std::nullopt, pe::Failure::ResourceEntryPastEnd},
        ResourceCase{"IdLookupReadsNoNames",
                     [](std::string& b, const Sample& s) {
                         Put16(b, s.rsrc + 12, 1);  // the one entry is named, its name far away
                         Put16(b, s.rsrc + 14, 0);
                         Put32(b, s.rsrc + 16, 0xFFFFFFF0);
                     },
                     10, 1, std::nullopt, pe::Failure::NoSuchType},
        ResourceCase{"TypeIsData", [](std::string& b, const Sample& s) { Put32(b, s.rsrc + 16 + 4, 72); }, 10, 1,
                     std::nullopt, pe::Failure::NoSuchType},
        ResourceCase{"DataEntryFarAway", [](std::string& b, const Sample& s) { Put32(b, s.rsrc + 64 + 4, 0x7FFFFFF0); },
                     10, 1, std::nullopt, pe::Failure::ResourceDataOutside},
        ResourceCase{"DataLongerThanTheFile",
                     [](std::string& b, const Sample& s) { Put32(b, s.rsrc + 72 + 4, 0xFFFFFFFF); }, 10, 1,
                     std::nullopt, pe::Failure::ResourceDataOutside},
        ResourceCase{"DataInNoSection", [](std::string& b, const Sample& s) { Put32(b, s.rsrc + 72, 0x7FFF0000); }, 10,
                     1, std::nullopt, pe::Failure::ResourceDataOutside}),
    ondrel::testing::CaseName());

// ---- The listing walks type, name and language in directory order ----

TEST(ResourceListing, EveryResourceInDirectoryOrderUpToTheLimit) {
    PeImage image;
    image.resources = {{PeKey::Id(10), PeKey::Id(2), 0x409, "a"},
                       {PeKey::Name(u"CUSTOM"), PeKey::Name(u"THING"), 0x409, "b"},
                       {PeKey::Id(10), PeKey::Id(1), 0x407, "c"},
                       {PeKey::Id(10), PeKey::Id(1), 0x409, "d"},
                       {PeKey::Id(3), PeKey::Name(u"ICON"), 0, "e"},
                       {PeKey::Id(10), PeKey::Name(u"NAMED"), 0x40C, "f"}};
    const std::string bytes = image.Bytes();
    auto source = ondrel::platform::FileReader::Over(bytes.data(), bytes.size());
    // Named entries before identifiers at each level, each group in order.
    struct Want {
        PeKey type;
        PeKey name;
        std::uint16_t language;
    };
    const std::vector<Want> want = {{PeKey::Name(u"CUSTOM"), PeKey::Name(u"THING"), 0x409},
                                    {PeKey::Id(3), PeKey::Name(u"ICON"), 0},
                                    {PeKey::Id(10), PeKey::Name(u"NAMED"), 0x40C},
                                    {PeKey::Id(10), PeKey::Id(1), 0x407},
                                    {PeKey::Id(10), PeKey::Id(1), 0x409},
                                    {PeKey::Id(10), PeKey::Id(2), 0x409}};
    auto same = [](const pe::ResourceKey& got, const PeKey& key) {
        return got.isId == key.isId && (key.isId ? got.id == key.id : got.name == key.name);
    };
    for (std::size_t limit : {std::size_t{100}, std::size_t{6}, std::size_t{4}, std::size_t{1}, std::size_t{0}}) {
        const std::vector<pe::ResourceListing> list = pe::ListResources(source, limit);
        ASSERT_EQ(list.size(), std::min(limit, want.size())) << limit;
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_TRUE(same(list[i].type, want[i].type)) << i;
            EXPECT_TRUE(same(list[i].name, want[i].name)) << i;
            EXPECT_EQ(list[i].language, want[i].language) << i;
            // Each one listed is found again by the lookup in its language.
            EXPECT_TRUE(ondrel::testing::FindResourceDataInLanguage(source, list[i].type, list[i].name, list[i].language)) << i;
        }
    }
}

TEST(ResourceListing, AnEntryThatCannotBeFollowedIsPassedOver) {
    PeImage image;
    image.resources = {{PeKey::Id(3), PeKey::Id(1), 0x409, "a"}, {PeKey::Id(10), PeKey::Id(1), 0x409, "b"}};
    PeImage::Built built = image.Build();
    const std::size_t root = built.resourceSection;
    // The root holds two type entries (at 16 and 24); the directory of type 3 follows at 32.
    struct Case {
        const char* name;
        std::size_t at;  // offset of the 32-bit field changed, from the root
        std::uint32_t value;
        std::size_t listed;
        std::uint16_t firstType;
    };
    for (const Case& c : {Case{"FirstTypeFarAway", 16 + 4, 0x80FFFFF0u, 1, 10},
                          Case{"FirstTypeIsData", 16 + 4, 0u, 1, 10},
                          Case{"SecondTypeFarAway", 24 + 4, 0x80FFFFF0u, 1, 3},
                          // a third entry claimed: the next directory's zero header, read as data
                          Case{"ThreeTypesClaimed", 12, 3u << 16, 2, 3}}) {
        std::string b = built.bytes;
        Put32(b, root + c.at, c.value);
        auto source = ondrel::platform::FileReader::Over(b.data(), b.size());
        const std::vector<pe::ResourceListing> list = pe::ListResources(source);
        ASSERT_EQ(list.size(), c.listed) << c.name;
        EXPECT_EQ(list[0].type.id, c.firstType) << c.name;
    }
}

}  // namespace

// The index of a section table answers as the search in table order does,
// for overlapping sections, empty ones, ends that wrap or reach 2^32, and
// addresses at every bound and beside it.
TEST(SectionIndex, AnswersAsTheSearchInTableOrder) {
    std::mt19937 engine(20261210);
    auto random = [&] { return static_cast<std::uint32_t>(engine()); };
    const std::uint32_t edges[] = {0, 1, 0x1000, 0x7FFFFFFF, 0xFFFFF000, 0xFFFFFFFE, 0xFFFFFFFF};
    for (int round = 0; round < 400; ++round) {
        pe::SectionTable table;
        const int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            pe::SectionHeader h;
            // Small addresses, so that sections overlap often; now and then an edge.
            h.virtualAddress = random() % 5 == 0 ? edges[random() % std::size(edges)] : random() % 64;
            h.sizeOfRawData = random() % 5 == 0 ? edges[random() % std::size(edges)] : random() % 24;
            h.pointerToRawData = random();
            table.headers.push_back(h);
        }
        table.numberOfSections = static_cast<std::uint16_t>(count);
        const pe::SectionIndex index(table);
        std::vector<std::uint32_t> probes(std::begin(edges), std::end(edges));
        for (std::uint32_t a = 0; a < 96; ++a) probes.push_back(a);
        for (const pe::SectionHeader& h : table.headers)
            for (std::uint32_t d : {0u, 1u, 0xFFFFFFFFu}) {
                probes.push_back(h.virtualAddress + d);
                probes.push_back(h.virtualAddress + h.sizeOfRawData + d);
            }
        for (std::uint32_t rva : probes)
            ASSERT_EQ(index.FileOffset(rva), pe::RvaToOffset(table, rva)) << "round " << round << ", address " << rva;
    }
}
