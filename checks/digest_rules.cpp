// The whole-file and byte-range digest rules: CRC32, MD5, ENDMD5, SIZEMD5.
#include <new>
#include <optional>

#include "checks/caches.h"
#include "checks/file_digests.h"
#include "checks/file_size.h"
#include "checks/integer_text.h"
#include "checks/range_digest.h"
#include "checks/rule_values.h"
#include "checks/rules.h"
#include "checksums/crc32.h"
#include "checksums/hex.h"
#include "checksums/md5.h"
#include "platform/reader.h"

namespace ondrel {

std::string RangeDigest(const std::string& fileName, std::int32_t first, std::int32_t last) {
    Md5Context context;
    Md5Init(context);
    try {
        if (platform::FileReader file = platform::FileReader::Open(fileName, platform::Share::ReadWrite)) {
            // A negative position is refused and reading begins at byte 0.
            std::uint64_t start = first < 0 ? 0 : static_cast<std::uint64_t>(first);
            const std::uint32_t count = static_cast<std::uint32_t>(last) - static_cast<std::uint32_t>(first) + 1u;
            std::uint64_t want = count;
            if (count == 0) {  // the whole file, from byte 0
                start = 0;
                want = file.Size();
            }
            const platform::RangeEnd end = file.ReadRange(start, want, [&](const unsigned char* data, std::size_t n) {
                Md5Update(context, data, static_cast<std::uint32_t>(n));
            });
            // A range not read in full counts as no bytes at all.
            if (end != platform::RangeEnd::Complete) Md5Init(context);
        }
    } catch (const std::bad_alloc&) {
        Md5Init(context);
    }
    Md5Digest digest;
    Md5Final(context, digest);
    return DigestText(digest);
}

bool Crc32Rule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    // A file that cannot be opened throws to the evaluation.
    trace.Set(Crc32ToHex(Crc32OfFile(fileName)));
    return trace.text == value;
}

bool Md5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    trace.Set(CachedDigest(FileDigestCache(), fileName, [&] {
        Md5Digest digest;
        Md5OfFile(fileName, digest);
        return DigestText(digest);
    }));
    return trace.text == value;
}

// count "|" expected, or count "|" skip "|" expected: the count bytes that end
// skip bytes before the end of the file.
bool EndMd5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    const std::string countText = UpToBar(value);
    const std::string rest = DropFirst(value, countText.size() + 1);
    const std::optional<std::int32_t> count = ParseIntegerText(countText);
    std::optional<std::int32_t> skip = 0;
    std::string expected = rest;
    const std::size_t bar = rest.find('|');
    if (bar != std::string::npos) {
        skip = ParseIntegerText(rest.substr(0, bar));
        expected = rest.substr(bar + 1);
    }
    std::string computed;
    if (count && skip) {
        const std::uint32_t size = static_cast<std::uint32_t>(FileSize(fileName));
        const std::uint32_t end = size - static_cast<std::uint32_t>(*skip);
        const auto first = static_cast<std::int32_t>(end - static_cast<std::uint32_t>(*count));
        const auto last = static_cast<std::int32_t>(end - 1u);
        computed = RangeDigest(fileName, first, last);
    }
    trace.Set(computed);
    return computed == expected;
}

// first "|" last "|" expected: the bytes from offset first to offset last.
bool SizeMd5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    const BarParts parts = CutAtBars(value);
    const std::optional<std::int32_t> first = ParseIntegerText(parts.first);
    const std::optional<std::int32_t> last = ParseIntegerText(parts.second);
    std::string computed;
    if (first && last) computed = RangeDigest(fileName, *first, *last);
    trace.Set(computed);
    return computed == parts.rest;
}

}  // namespace ondrel
