#include <optional>

#include "checks/file_size.h"
#include "checks/integer_text.h"
#include "checks/rules.h"
#include "platform/find.h"

namespace ondrel {

std::uint32_t FileSizeLow32(const std::string& fileName) {
    std::optional<platform::DirectoryEntry> entry = platform::FindFirstEntry(fileName);
    return entry ? entry->sizeLow : 0;
}

std::string FileSizeText(const RuleContext& context, const RuleArguments&) {
    return std::to_string(FileSizeLow32(context.fileName));
}

namespace {

// The bound rules compare the size with a signed bound; an invalid bound
// fails the rule without measuring the file.
template <typename Holds>
bool BoundRule(const RuleContext& context, const std::string& value, RuleTrace& trace, Holds holds) {
    std::optional<std::int32_t> bound = ParseIntegerText(value);
    if (!bound) {
        trace.Set("invalid bound");
        return false;
    }
    const std::int64_t size = FileSizeLow32(context.fileName);
    trace.Set(std::to_string(size));
    return holds(size, static_cast<std::int64_t>(*bound));
}

}  // namespace

bool FileSizeAtLeastRule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    return BoundRule(context, value, trace, [](std::int64_t size, std::int64_t bound) { return size >= bound; });
}

bool FileSizeAtMostRule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    return BoundRule(context, value, trace, [](std::int64_t size, std::int64_t bound) { return size <= bound; });
}

}  // namespace ondrel
