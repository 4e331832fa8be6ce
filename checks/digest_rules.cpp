// The whole-file and byte-range digest rules: CRC32, MD5, ENDMD5, SIZEMD5.
#include <optional>

#include "checks/caches.h"
#include "checks/file_digests.h"
#include "checks/file_size.h"
#include "checks/integer_text.h"
#include "checks/rules.h"
#include "checksums/hex.h"
#include "checksums/md5.h"

namespace ondrel {

std::string Crc32Text(const RuleContext& context, const RuleArguments&) {
    if (context.known && context.known->crc32) return Crc32ToHex(*context.known->crc32);
    // A file that cannot be opened throws to the evaluation.
    return Crc32ToHex(Crc32OfFile(context.fileName));
}

std::string Md5Text(const RuleContext& context, const RuleArguments&) {
    if (context.known && context.known->md5) return DigestText(*context.known->md5);
    DigestCache* cache = context.caches ? &context.caches->files : nullptr;
    return CachedDigest(cache, context.fileName, [&] { return Md5OfFile(context.fileName); });
}

// count, or count and skip: the count bytes that end skip bytes before the
// end of the file; no digest (the empty text) when a number is invalid.
std::string EndDigestText(const RuleContext& context, const RuleArguments& arguments) {
    const std::optional<std::int32_t> count = ParseIntegerText(arguments.at(0));
    const std::optional<std::int32_t> skip = arguments.size() > 1 ? ParseIntegerText(arguments[1]) : 0;
    if (!count || !skip) return std::string();
    const std::uint32_t size = FileSizeLow32(context.fileName);
    const std::uint32_t end = size - static_cast<std::uint32_t>(*skip);
    const auto first = static_cast<std::int32_t>(end - static_cast<std::uint32_t>(*count));
    const auto last = static_cast<std::int32_t>(end - 1u);
    return RangeDigest(context.fileName, first, last, context.Kept()).text;
}

// first and last: the bytes from offset first to offset last.
std::string RangeDigestText(const RuleContext& context, const RuleArguments& arguments) {
    const std::optional<std::int32_t> first = ParseIntegerText(arguments.at(0));
    const std::optional<std::int32_t> last = ParseIntegerText(arguments.at(1));
    if (!first || !last) return std::string();
    return RangeDigest(context.fileName, *first, *last, context.Kept()).text;
}

}  // namespace ondrel
