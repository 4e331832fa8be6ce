// MD5 over memory and over whole files, against the published vectors and a
// plain reference written from RFC 1321 in a few lines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "checksums/cpu_features.h"
#include "checksums/hex.h"
#include "checks/file_digests.h"
#include "checksums/md5.h"
#include "platform/reader.h"
#include "tests/support/test_files.h"
#include "tests/support/digests.h"

using ondrel::Md5Context;
using ondrel::Md5Digest;

namespace {

// RFC 1321 read literally: constants from the sine, one step at a time.
Md5Digest ReferenceMd5(const std::string& message) {
    std::uint32_t k[64];
    for (int i = 0; i < 64; ++i)
        k[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    static const int shift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                  5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                  4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                  6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    std::string m = message;
    const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
    m += '\x80';
    while (m.size() % 64 != 56) m += '\0';
    for (int i = 0; i < 8; ++i) m += static_cast<char>(bits >> (8 * i));
    std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (std::size_t at = 0; at < m.size(); at += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = 0;
            for (int b = 0; b < 4; ++b) w[i] |= static_cast<std::uint32_t>(static_cast<unsigned char>(m[at + 4 * i + b])) << (8 * b);
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            if (i < 16) f = (b & c) | (~b & d), g = i;
            else if (i < 32) f = (b & d) | (c & ~d), g = (5 * i + 1) % 16;
            else if (i < 48) f = b ^ c ^ d, g = (3 * i + 5) % 16;
            else f = c ^ (b | ~d), g = (7 * i) % 16;
            const std::uint32_t sum = a + f + k[i] + w[g];
            a = d;
            d = c;
            c = b;
            b = b + ((sum << shift[i]) | (sum >> (32 - shift[i])));
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d;
    }
    Md5Digest digest;
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(h[i / 4] >> (8 * (i % 4)));
    return digest;
}

Md5Digest Digest(const std::string& bytes, const std::vector<std::size_t>& splits = {}) {
    Md5Context context;
    ondrel::Md5Init(context);
    std::size_t at = 0;
    for (std::size_t piece : splits) {
        ondrel::Md5Update(context, bytes.data() + at, piece);
        at += piece;
    }
    ondrel::Md5Update(context, bytes.data() + at, bytes.size() - at);
    Md5Digest digest;
    ondrel::Md5Final(context, digest);
    return digest;
}

// RFC 1321 prints its digests in small letters.
std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

std::string NoBytesText() { return ondrel::testing::DigestOfBytes("", 0); }

}  // namespace

struct VectorCase {
    const char* name;
    std::string input;
    const char* hex;  // as RFC 1321 publishes it
};

class Md5Vectors : public ::testing::TestWithParam<VectorCase> {};

TEST_P(Md5Vectors, Rfc1321) {
    const Md5Digest digest = Digest(GetParam().input);
    EXPECT_EQ(ondrel::DigestText(digest), Upper(GetParam().hex));
    EXPECT_EQ(digest, ReferenceMd5(GetParam().input));
}

INSTANTIATE_TEST_SUITE_P(
    Md5, Md5Vectors,
    ::testing::Values(
        VectorCase{"Empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        VectorCase{"A", "a", "0cc175b9c0f1b6a831c399e269772661"},
        VectorCase{"Abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        VectorCase{"MessageDigest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        VectorCase{"Alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        VectorCase{"AlphaNumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                   "d174ab98d277d9f5a5611c2c9f419d9f"},
        VectorCase{"Digits80",
                   "1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                   "0",
                   "57edf4a22be3c955ac49da2e2107b67a"}),
    ondrel::testing::CaseName());

// Lengths around both padding branches and the block boundary, each fed in
// one call and in every split into two calls, and into three with empty ones.
class Md5Lengths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Md5Lengths, EverySplitGivesTheReferenceDigest) {
    const std::size_t length = GetParam();
    std::string bytes = ondrel::testing::CountingBytes(length);
    for (char& c : bytes) c = static_cast<char>(c * 7 + 3);
    const Md5Digest expected = ReferenceMd5(bytes);
    EXPECT_EQ(Digest(bytes), expected);
    for (std::size_t first = 0; first <= length; ++first) {
        EXPECT_EQ(Digest(bytes, {first}), expected) << "split at " << first;
        EXPECT_EQ(Digest(bytes, {0, first, 0}), expected) << "split at " << first << " with empty updates";
        const std::size_t second = (length - first) / 2;
        EXPECT_EQ(Digest(bytes, {first, second}), expected) << "three pieces from " << first;
    }
}

INSTANTIATE_TEST_SUITE_P(Md5, Md5Lengths, ::testing::Values(55, 56, 63, 64, 65, 119, 120, 128, 1000));

TEST(Md5, LongInputMatchesReference) {
    std::string bytes = ondrel::testing::CountingBytes(1 << 20);
    EXPECT_EQ(Digest(bytes, {3, 4096, 61, 100000}), ReferenceMd5(bytes));
}

// The bit count is 64 bits in two words: a count that wraps the low word
// carries into the high one, and the whole wraps modulo 2^64.
TEST(Md5, BitCountCarriesAcrossItsWords) {
    struct Row {
        const char* name;
        std::uint32_t low, high;  // bits before
        std::size_t bytes;
        std::uint32_t lowAfter, highAfter;
    };
    const Row rows[] = {
        {"no carry", 8, 0, 7, 64, 0},
        {"low word wraps", 0xFFFFFFF8u, 0, 1, 0, 1},
        {"low word wraps past zero", 0xFFFFFFF8u, 5, 3, 16, 6},
        {"both words wrap", 0xFFFFFFF8u, 0xFFFFFFFFu, 1, 0, 0},
    };
    const std::string bytes(8, 'x');
    for (const Row& row : rows) {
        Md5Context context;
        ondrel::Md5Init(context);
        context.count[0] = row.low;
        context.count[1] = row.high;
        ondrel::Md5Update(context, bytes.data(), row.bytes);
        EXPECT_EQ(context.count[0], row.lowAfter) << row.name;
        EXPECT_EQ(context.count[1], row.highAfter) << row.name;
    }
}

// A set of features is had exactly when each of its members is, and the
// empty set always (the one-stream cores ask for nothing).
TEST(CpuFeatures, SetIsHadWhenEachMemberIs) {
    namespace cpu = ondrel::cpu;
    const unsigned all[] = {cpu::kSse2,   cpu::kSse41,    cpu::kBmi,       cpu::kPclmul,
                            cpu::kAvx2,   cpu::kAvx512f,  cpu::kAvx512vl,  cpu::kVpclmulqdq};
    EXPECT_TRUE(cpu::Has(0));
    for (unsigned a : all)
        for (unsigned b : all) EXPECT_EQ(cpu::Has(a | b), cpu::Has(a) && cpu::Has(b)) << a << " " << b;
#if ONDREL_X86_CORES && defined(__x86_64__)
    EXPECT_TRUE(cpu::Has(cpu::kSse2)) << "every x86-64 processor has SSE2";
#endif
    if (cpu::Has(cpu::kAvx2)) {
        EXPECT_TRUE(cpu::Has(cpu::kSse41));
    }
    if (cpu::Has(cpu::kAvx512vl)) {
        EXPECT_TRUE(cpu::Has(cpu::kAvx512f));
    }
}

TEST(Md5, FinalWipesTheContext) {
    Md5Context context;
    ondrel::Md5Init(context);
    ondrel::Md5Update(context, "some bytes that stay in the buffer", 34);
    Md5Digest digest;
    ondrel::Md5Final(context, digest);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&context);
    for (std::size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
}

TEST(Md5, DigestTextIsUpperCaseHexByteZeroFirst) {
    Md5Digest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<unsigned char>(i * 17);
    EXPECT_EQ(ondrel::DigestText(digest), "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(ondrel::HexText("\x0a\xff", 2), "0AFF");
    EXPECT_EQ(ondrel::HexText("", 0), "");
}

TEST(Md5, StreamOfAnyLengthMatchesBlocks) {
    std::string bytes = ondrel::testing::CountingBytes(5000);
    ondrel::Md5Stream stream;
    stream.Update(bytes.data(), 17);
    stream.Update(bytes.data() + 17, bytes.size() - 17);
    EXPECT_EQ(ondrel::DigestText(stream.Finish()), ondrel::DigestText(ReferenceMd5(bytes)));
}

// Each core -----------------------------------------------------------------

struct CoreCase {
    const char* name;
    ondrel::Md5Core core;
};

void PrintTo(const CoreCase& c, std::ostream* out) { *out << c.name; }

// Runs a test with one core selected, and the process's choice restored after.
class Md5Cores : public ::testing::TestWithParam<CoreCase> {
protected:
    void SetUp() override {
        saved_ = ondrel::Md5SelectedCore();
        if (!ondrel::Md5SelectCore(GetParam().core)) GTEST_SKIP() << "this machine does not run the core";
        ASSERT_EQ(ondrel::Md5SelectedCore(), GetParam().core);
    }
    void TearDown() override { ASSERT_TRUE(ondrel::Md5SelectCore(saved_)); }

private:
    ondrel::Md5Core saved_ = ondrel::Md5Core::Portable;
};

TEST_P(Md5Cores, Rfc1321Vectors) {
    const std::pair<std::string, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, hex] : vectors) EXPECT_EQ(ondrel::DigestText(Digest(input)), Upper(hex)) << '"' << input << '"';
}

// Random bytes of every length up to a few blocks and some long ones, fed
// whole and in random pieces: the core gives the reference digest, and so
// the same digest as every other core.
TEST_P(Md5Cores, RandomBytesInRandomPiecesGiveTheReferenceDigest) {
    std::mt19937 random(20240611);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (std::size_t n : {1023u, 4096u, 4097u, 65599u, 262144u, 300001u}) lengths.push_back(n);
    for (std::size_t length : lengths) {
        std::string bytes(length, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        const Md5Digest expected = ReferenceMd5(bytes);
        ASSERT_EQ(Digest(bytes), expected) << "length " << length << ", whole";
        for (int trial = 0; trial < 4; ++trial) {
            std::vector<std::size_t> splits;
            std::size_t left = length;
            while (left > 0 && splits.size() < 6) {
                const std::size_t piece = std::uniform_int_distribution<std::size_t>(0, left)(random);
                splits.push_back(piece);
                left -= piece;
            }
            ASSERT_EQ(Digest(bytes, splits), expected) << "length " << length << ", trial " << trial;
        }
    }
}

// A whole file, read in chunks into the reader's buffer and from there
// transformed, as the rules digest files.
TEST_P(Md5Cores, FileDigestMatchesReference) {
    ondrel::testing::TempDir dir;
    std::mt19937 random(7);
    std::string bytes(2 * ondrel::platform::FileReader::kChunk + 333, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    EXPECT_EQ(ondrel::Md5OfFile(dir.Write("random.bin", bytes)).text, ondrel::DigestText(ReferenceMd5(bytes)));
}

INSTANTIATE_TEST_SUITE_P(Md5, Md5Cores,
                         ::testing::Values(CoreCase{"Portable", ondrel::Md5Core::Portable},
                                           CoreCase{"Bmi", ondrel::Md5Core::Bmi}),
                         ondrel::testing::CaseName());

TEST(Md5CoreSelection, PortableRunsEverywhereAndTheDefaultRuns) {
    EXPECT_TRUE(ondrel::Md5CoreRuns(ondrel::Md5Core::Portable));
    EXPECT_TRUE(ondrel::Md5CoreRuns(ondrel::Md5SelectedCore()));
}

TEST(Md5CoreSelection, ACoreTheMachineCannotRunIsRefusedAndChangesNothing) {
    const ondrel::Md5Core before = ondrel::Md5SelectedCore();
    for (ondrel::Md5Core core : {ondrel::Md5Core::Portable, ondrel::Md5Core::Bmi}) {
        if (ondrel::Md5CoreRuns(core)) continue;
        EXPECT_FALSE(ondrel::Md5SelectCore(core));
        EXPECT_EQ(ondrel::Md5SelectedCore(), before);
    }
}

// The reader's buffer --------------------------------------------------------

// A reader whose first range is small gets a small buffer; a larger range
// after it, on the same reader, must still deliver every byte.
TEST(FileReaderBuffer, SmallRangeThenLargeRangesOnOneReader) {
    ondrel::testing::TempDir dir;
    const std::size_t chunk = ondrel::platform::FileReader::kChunk;
    std::string bytes = ondrel::testing::CountingBytes(3 * chunk + 77);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ (i >> 9));
    ondrel::platform::FileReader reader =
        ondrel::platform::FileReader::OpenOrThrow(dir.Write("ranges.bin", bytes), ondrel::platform::Share::Read);
    ASSERT_TRUE(reader);
    struct Range {
        std::uint64_t offset, count;
    };
    for (const Range range : {Range{10, 100}, Range{0, 3 * chunk + 77}, Range{5, 64}, Range{chunk - 1, chunk + 2}}) {
        std::string got;
        const auto end = reader.ReadRange(range.offset, range.count, [&](const unsigned char* data, std::size_t n) {
            got.append(reinterpret_cast<const char*>(data), n);
        });
        EXPECT_EQ(end, ondrel::platform::RangeEnd::Complete) << range.offset << "+" << range.count;
        EXPECT_TRUE(got == bytes.substr(static_cast<std::size_t>(range.offset), static_cast<std::size_t>(range.count)))
            << range.offset << "+" << range.count;
    }
}

// Md5OfFile -----------------------------------------------------------------

namespace {
std::string FileDigestText(const std::string& path) { return ondrel::Md5OfFile(path).text; }
}  // namespace

TEST(Md5OfFile, WholeFile) {
    ondrel::testing::TempDir dir;
    for (std::size_t length : {1u, 63u, 64u, 4096u, 70000u}) {
        std::string bytes = ondrel::testing::CountingBytes(length);
        const std::string path = dir.Write(std::to_string(length) + ".bin", bytes);
        EXPECT_EQ(FileDigestText(path), ondrel::DigestText(ReferenceMd5(bytes))) << length;
    }
}

TEST(Md5OfFile, NothingToReadGivesDigestOfNoBytes) {
    ondrel::testing::TempDir dir;
    EXPECT_EQ(NoBytesText(), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(FileDigestText(dir.Write("empty", "")), NoBytesText());
    EXPECT_EQ(FileDigestText(dir.File("missing")), NoBytesText());
    EXPECT_EQ(FileDigestText(dir.Path().string()), NoBytesText());  // a folder
}

// A file of 4 GiB and 10 bytes: every byte is digested, in 32-bit and
// 64-bit processes alike.
TEST(Md5OfFile, FileOfMoreThan4GiB) {
    ondrel::testing::TempDir dir;
    const std::string path = dir.File("large.bin");
    const std::uint64_t size = (std::uint64_t{1} << 32) + 10;
    ondrel::testing::MakeSparseFile(path, size);
    const std::string computed = FileDigestText(path);
    // Zeros and a final "x", fed through a different path.
    ondrel::Md5Stream stream;
    std::vector<unsigned char> zeros(1 << 20);
    std::uint64_t left = size - 1;
    while (left > 0) {
        const std::size_t piece = left < zeros.size() ? static_cast<std::size_t>(left) : zeros.size();
        stream.Update(zeros.data(), piece);
        left -= piece;
    }
    stream.Update("x", 1);
    EXPECT_EQ(computed, ondrel::DigestText(stream.Finish()));
}
