// CRC-32 over memory, streams and files, and the hexadecimal texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "checks/file_digests.h"
#include "platform/file.h"
#include "tests/support/crc32_stream.h"
#include "tests/support/test_files.h"

using ondrel::testing::ByteStream;
using ondrel::testing::Crc32OfStream;

namespace {

// One bit at a time, straight from the definition.
std::uint32_t BitwiseCrc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

std::string RandomBytes(std::size_t length, unsigned start) {
    std::mt19937 random(start);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// A stream over bytes in memory that delivers at most `piece` bytes a read,
// and nothing at all from `failAt` on.
class MemoryStream : public ByteStream {
public:
    explicit MemoryStream(std::string bytes, std::uint32_t piece = 1u << 30, std::uint64_t failAt = ~0ull)
        : bytes_(std::move(bytes)), piece_(piece), failAt_(failAt) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    std::uint64_t Position() const override { return position_; }
    std::int64_t Read(void* buffer, std::uint32_t count) override {
        ++reads_;
        if (position_ >= failAt_) return failWith_;
        std::uint64_t n = std::min<std::uint64_t>({count, piece_, bytes_.size() - position_});
        std::memcpy(buffer, bytes_.data() + position_, static_cast<std::size_t>(n));
        position_ += n;
        return static_cast<std::int64_t>(n);
    }
    std::uint64_t position_ = 0;
    std::int64_t failWith_ = 0;
    int reads_ = 0;

private:
    std::string bytes_;
    std::uint32_t piece_;
    std::uint64_t failAt_;
};

}  // namespace

struct CheckValueCase {
    const char* name;
    std::string input;
    std::uint32_t value;  // the published check values
};

class Crc32CheckValues : public ::testing::TestWithParam<CheckValueCase> {};

TEST_P(Crc32CheckValues, MemoryStreamAndBitwise) {
    const std::string& input = GetParam().input;
    EXPECT_EQ(ondrel::Crc32(0, input.data(), input.size()), GetParam().value);
    EXPECT_EQ(BitwiseCrc32(input), GetParam().value);
    MemoryStream stream(input);
    EXPECT_EQ(Crc32OfStream(stream), GetParam().value);
    EXPECT_EQ(stream.position_, input.size());
}

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32CheckValues,
                         ::testing::Values(CheckValueCase{"Digits", "123456789", 0xCBF43926u},
                                           CheckValueCase{"Abc", "abc", 0x352441C2u},
                                           CheckValueCase{"Empty", "", 0u},
                                           CheckValueCase{"Fox", "The quick brown fox jumps over the lazy dog",
                                                          0x414FA339u}),
                         ondrel::testing::CaseName());

TEST(Crc32, PublishedTableEntries) {
    // Entry i of the table is the register after the byte i alone, without
    // the preset and the inversion.
    auto entry = [](std::uint32_t i) {
        const unsigned char byte = static_cast<unsigned char>(i);
        return ondrel::crc32_detail::UpdateBySlices(0, &byte, 1);
    };
    EXPECT_EQ(entry(0), 0u);
    EXPECT_EQ(entry(1), 0x77073096u);
    EXPECT_EQ(entry(128), 0xEDB88320u);
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        ASSERT_EQ(entry(i), c) << i;
    }
}

// Both ways of computing, at every length up to a few blocks and at every
// alignment, against the bitwise definition; then long inputs.
TEST(Crc32, SlicesAndFoldingAgreeWithDefinition) {
    const std::string bytes = RandomBytes(4096 + 64, 7);
    for (std::size_t offset = 0; offset < 16; ++offset)
        for (std::size_t length = 0; length <= 600; ++length) {
            const std::string piece = bytes.substr(offset, length);
            const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
            const std::uint32_t expected = BitwiseCrc32(piece);
            ASSERT_EQ(~ondrel::crc32_detail::UpdateBySlices(~0u, p, length), expected) << offset << "+" << length;
            if (ondrel::crc32_detail::FoldingAvailable()) {
                ASSERT_EQ(~ondrel::crc32_detail::UpdateByFolding(~0u, p, length), expected) << offset << "+" << length;
            }
            ASSERT_EQ(ondrel::Crc32(0, bytes.data() + offset, length), expected) << offset << "+" << length;
        }
    const std::string large = RandomBytes(3 * 1000 * 1000 + 13, 9);
    EXPECT_EQ(ondrel::Crc32(0, large.data(), large.size()), BitwiseCrc32(large));
}

// Each way of computing on its own, forced by name, against the bitwise
// definition: every length up to past four wide blocks at several
// misalignments, a few MiB, and one message cut into pieces at random
// places. The bytes sit at the very end of their own allocation, so a read
// past them is caught by the address sanitizer.
namespace crc32_detail = ondrel::crc32_detail;

class Crc32Method : public ::testing::TestWithParam<crc32_detail::Method> {
protected:
    void SetUp() override {
        if (!crc32_detail::Available(GetParam()))
            GTEST_SKIP() << crc32_detail::MethodName(GetParam()) << " is not available on this processor or build";
    }
    std::uint32_t Of(const unsigned char* data, std::size_t count) const {
        return ~crc32_detail::UpdateBy(GetParam(), 0xFFFFFFFFu, data, count);
    }
};

TEST_P(Crc32Method, EveryLengthAndAlignment) {
    const std::string bytes = RandomBytes(1100, 21);
    for (std::size_t offset : {0u, 1u, 3u, 8u, 15u, 16u, 33u, 63u}) {
        for (std::size_t length = 0; length <= bytes.size(); ++length) {
            std::vector<unsigned char> buffer(offset + length);
            std::copy_n(bytes.begin(), length, buffer.begin() + static_cast<std::ptrdiff_t>(offset));
            ASSERT_EQ(Of(buffer.data() + offset, length), BitwiseCrc32(bytes.substr(0, length)))
                << offset << "+" << length;
        }
    }
}

TEST_P(Crc32Method, FewMebibytes) {
    for (std::size_t offset : {0u, 5u}) {
        const std::string bytes = RandomBytes(4 * 1024 * 1024 + 13 + offset, 23);
        std::vector<unsigned char> buffer(bytes.begin(), bytes.end());
        EXPECT_EQ(Of(buffer.data() + offset, buffer.size() - offset), BitwiseCrc32(bytes.substr(offset))) << offset;
    }
}

TEST_P(Crc32Method, PiecesCutAtRandomPlaces) {
    const std::string bytes = RandomBytes(300000, 25);
    const std::uint32_t expected = BitwiseCrc32(bytes);
    std::mt19937 random(27);
    for (int round = 0; round < 20; ++round) {
        // Short pieces in some rounds, long ones in others.
        const std::size_t longest = round % 2 ? 600 : 40000;
        std::uint32_t crc = 0xFFFFFFFFu;
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t piece = std::min<std::size_t>(bytes.size() - at, random() % (longest + 1));
            std::vector<unsigned char> buffer(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                              bytes.begin() + static_cast<std::ptrdiff_t>(at + piece));
            crc = crc32_detail::UpdateBy(GetParam(), crc, buffer.data(), piece);
            at += piece;
        }
        ASSERT_EQ(~crc, expected) << "round " << round;
    }
}

struct MethodCaseName {
    std::string operator()(const ::testing::TestParamInfo<crc32_detail::Method>& method) const {
        std::string name = crc32_detail::MethodName(method.param);
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    }
};

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32Method, ::testing::ValuesIn(crc32_detail::kMethods), MethodCaseName());

// Crc32 takes the fastest method the machine has.
TEST(Crc32, ChoosesTheFastestAvailableMethod) {
    crc32_detail::Method fastest = crc32_detail::Method::Slices;
    for (crc32_detail::Method method : crc32_detail::kMethods)
        if (crc32_detail::Available(method)) fastest = method;
    EXPECT_EQ(crc32_detail::Chosen(), fastest) << crc32_detail::MethodName(crc32_detail::Chosen());
}

TEST(Crc32, CallsChainFromZeroAsZlibs) {
    const std::string bytes = RandomBytes(10000, 3);
    for (std::size_t split : {0u, 1u, 15u, 64u, 127u, 128u, 5000u, 9999u}) {
        std::uint32_t crc = ondrel::Crc32(0, bytes.data(), split);
        crc = ondrel::Crc32(crc, bytes.data() + split, bytes.size() - split);
        EXPECT_EQ(crc, BitwiseCrc32(bytes)) << split;
    }
    EXPECT_EQ(ondrel::Crc32(0x414FA339u, "", 0), 0x414FA339u);  // nothing more changes nothing
}

TEST(Crc32, StreamReadInPieces) {
    for (std::size_t length : {8192u, 8193u, 300000u}) {
        const std::string bytes = RandomBytes(length, static_cast<unsigned>(length));
        for (std::uint32_t piece : {1u << 30, 8192u, 4095u}) {
            MemoryStream stream(bytes, piece);
            EXPECT_EQ(Crc32OfStream(stream), BitwiseCrc32(bytes)) << length << " by " << piece;
        }
    }
}

TEST(Crc32, StreamFromItsCurrentPosition) {
    const std::string bytes = RandomBytes(1000, 5);
    MemoryStream stream(bytes);
    stream.position_ = 300;
    EXPECT_EQ(Crc32OfStream(stream), BitwiseCrc32(bytes.substr(300)));
    EXPECT_EQ(Crc32OfStream(stream), 0u);  // now at its end
    stream.position_ = 5000;                       // past its end: nothing left
    EXPECT_EQ(Crc32OfStream(stream), 0u);
}

TEST(Crc32, StreamThatDeliversNothingShortOfItsEndRaises) {
    for (std::int64_t failure : {0, -1}) {
        MemoryStream stream(RandomBytes(20000, 1), 4096, 8192);
        stream.failWith_ = failure;
        EXPECT_THROW(Crc32OfStream(stream), ondrel::testing::StreamReadError) << failure;
        EXPECT_EQ(stream.reads_, 3);  // two reads that delivered, one that did not: no spinning
    }
}

TEST(Crc32OfFile, WholeFile) {
    ondrel::testing::TempDir dir;
    for (std::size_t length : {0u, 9u, 8192u, 8193u, 1000000u}) {
        const std::string bytes = RandomBytes(length, 11);
        EXPECT_EQ(ondrel::Crc32OfFile(dir.Write(std::to_string(length) + ".bin", bytes)), BitwiseCrc32(bytes)) << length;
    }
}

TEST(Crc32OfFile, MissingFileRaisesOpenError) {
    ondrel::testing::TempDir dir;
    EXPECT_THROW(ondrel::Crc32OfFile(dir.File("missing")), ondrel::platform::FileOpenError);
}

struct HexCase {
    const char* name;
    std::uint32_t value;
    const char* text;
};

class Crc32Text : public ::testing::TestWithParam<HexCase> {};

TEST_P(Crc32Text, EightUpperCaseDigits) { EXPECT_EQ(ondrel::Crc32ToHex(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32Text,
                         ::testing::Values(HexCase{"Zero", 0, "00000000"}, HexCase{"LeadingZeros", 0xABCD, "0000ABCD"},
                                           HexCase{"Check", 0xCBF43926u, "CBF43926"},
                                           HexCase{"ByteOrder", 0x01020A0Fu, "01020A0F"},
                                           HexCase{"AllOnes", 0xFFFFFFFFu, "FFFFFFFF"}),
                         ondrel::testing::CaseName());

TEST(Hex, EachByteAsTwoCapitals) {
    struct Case {
        unsigned char byte;
        const char* text;
    };
    for (const Case c : {Case{10, "0A"}, Case{0, "00"}, Case{0xF0, "F0"}, Case{0xFF, "FF"}})
        EXPECT_EQ(ondrel::HexText(&c.byte, 1), c.text) << int{c.byte};
}
