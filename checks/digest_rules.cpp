// The whole-file and byte-range digest rules: CRC32, MD5, ENDMD5, SIZEMD5.
#include <optional>

#include "checks/caches.h"
#include "checks/file_digests.h"
#include "checks/file_size.h"
#include "checks/integer_text.h"
#include "checks/rule_values.h"
#include "checks/rules.h"
#include "checksums/hex.h"
#include "checksums/md5.h"

namespace ondrel {

bool Crc32Rule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    if (context.known && context.known->crc32) return trace.Set(Crc32ToHex(*context.known->crc32)) == value;
    // A file that cannot be opened throws to the evaluation.
    return trace.Set(Crc32ToHex(Crc32OfFile(context.fileName))) == value;
}

bool Md5Rule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    if (context.known && context.known->md5) return trace.Set(DigestText(*context.known->md5)) == value;
    DigestCache* cache = context.caches ? &context.caches->files : nullptr;
    return trace.Set(CachedDigest(cache, context.fileName, [&] { return Md5OfFile(context.fileName); })) == value;
}

// count "|" expected, or count "|" skip "|" expected: the count bytes that end
// skip bytes before the end of the file.
bool EndMd5Rule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
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
        const std::uint32_t size = FileSizeLow32(context.fileName);
        const std::uint32_t end = size - static_cast<std::uint32_t>(*skip);
        const auto first = static_cast<std::int32_t>(end - static_cast<std::uint32_t>(*count));
        const auto last = static_cast<std::int32_t>(end - 1u);
        computed = RangeDigest(context.fileName, first, last, context.Kept()).text;
    }
    return trace.Set(computed) == expected;
}

// first "|" last "|" expected: the bytes from offset first to offset last.
bool SizeMd5Rule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    const BarParts parts = CutAtBars(value);
    const std::optional<std::int32_t> first = ParseIntegerText(parts.first);
    const std::optional<std::int32_t> last = ParseIntegerText(parts.second);
    std::string computed;
    if (first && last) computed = RangeDigest(context.fileName, *first, *last, context.Kept()).text;
    return trace.Set(computed) == parts.rest;
}

}  // namespace ondrel
