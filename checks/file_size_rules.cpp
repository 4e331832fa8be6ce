#include <optional>

#include "checks/file_size.h"
#include "checks/integer_text.h"
#include "checks/rules.h"
#include "platform/find.h"

namespace ondrel {

std::uint64_t FileSize(const std::string& fileName) {
    std::optional<platform::DirectoryEntry> entry = platform::FindFirstEntry(fileName);
    return entry ? entry->sizeLow : 0;
}

std::string FileSizeText(const std::string& fileName) { return std::to_string(FileSize(fileName)); }

bool FileSizeRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    trace.Set(FileSizeText(fileName));
    return trace.text == value;
}

namespace {

// The bound rules compare the size with a signed bound; an invalid bound
// fails the rule without measuring the file.
template <typename Holds>
bool BoundRule(const std::string& fileName, const std::string& value, RuleTrace& trace, Holds holds) {
    std::optional<std::int32_t> bound = ParseIntegerText(value);
    if (!bound) {
        trace.Set("invalid bound");
        return false;
    }
    std::int64_t size = static_cast<std::int64_t>(FileSize(fileName));
    trace.Set(std::to_string(size));
    return holds(size, static_cast<std::int64_t>(*bound));
}

}  // namespace

bool FileSizeAtLeastRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    return BoundRule(fileName, value, trace, [](std::int64_t size, std::int64_t bound) { return size >= bound; });
}

bool FileSizeAtMostRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    return BoundRule(fileName, value, trace, [](std::int64_t size, std::int64_t bound) { return size <= bound; });
}

}  // namespace ondrel
