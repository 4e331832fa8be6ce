#pragma once
// What a rule is to the engine, and what the engine hands a rule: the
// handler's signature, its context, the trace of what it computed, and a
// keyword-table row. Both the engine and the rule families include this;
// neither includes the other.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ondrel {

struct DigestCaches;  // checks/caches.h
namespace platform {
struct FileBytes;  // platform/reader.h
}

// What the caller took from one complete read of the file just before the
// evaluation: whole-file checksums, which the "CRC32" and "MD5" rules then
// answer from, and the file's bytes, which the range digests and the image
// rules read instead of the file. The library itself never has any; a tool
// that reads many files at once does.
struct KnownDigests {
    std::optional<std::uint32_t> crc32;
    std::optional<std::array<unsigned char, 16>> md5;
    const platform::FileBytes* bytes = nullptr;
};

class ComputedTexts;  // below

// What a rule is handed besides its value: the file name exactly as the
// caller gave it, the digest caches it may use, and what the caller already
// knows of the file. Without caches every digest is computed from the file.
// With texts, the texts computed before for this file (see ComputedTexts).
struct RuleContext {
    const std::string& fileName;
    DigestCaches* caches = nullptr;
    const KnownDigests* known = nullptr;
    ComputedTexts* texts = nullptr;
    // The bytes the caller kept, if any.
    const platform::FileBytes* Kept() const noexcept { return known ? known->bytes : nullptr; }
};

// What a rule computed from the file, for those who watch an evaluation.
struct RuleTrace {
    std::optional<std::string> text;  // nothing when the rule computed no text
    // Why the handler threw, when an observer watches: the exception's own
    // text ("not found", "sharing violation", "out of memory", ...).
    std::string reason;
    const std::string& Set(std::string computed) { return text.emplace(std::move(computed)); }
};

// A rule handler: called with its context and the entry's value; true when
// the rule holds, false when it fails. It may throw; the evaluation then
// takes the rule as failed and goes on with the next entry, unless what was
// thrown says the process ran out of its own resources (std::bad_alloc,
// platform::ResourcesExhausted): then the evaluation ends with false.
using RuleHandler = bool (*)(const RuleContext& context, const std::string& value, RuleTrace& trace);

// The arguments of an entry's value, as texts in the order the value
// writes them (none for a rule whose value is the computed text alone).
using RuleArguments = std::vector<std::string>;

// A value cut as its rule cuts it: the arguments, which decide the text the
// rule computes, and the text that is compared with it (the rest of the
// value, which it views).
struct ParsedValue {
    RuleArguments arguments;
    std::string_view expected;
};
using ValueParser = ParsedValue (*)(const std::string& value);
// The value that parses back into these arguments and expected text.
using ValueFormatter = std::string (*)(const RuleArguments& arguments, std::string_view expected);
// The text the rule computes from the file for these arguments. It may
// throw as a handler may.
using RuleCompute = std::string (*)(const RuleContext& context, const RuleArguments& arguments);

// What a rule looks at, for tools that explain rules or write them.
enum class RuleFamily {
    FileSize,  // the size of the directory entry
    Checksum,  // the CRC-32 of the whole file
    Digest,    // the MD5 of the whole file or of a byte range
    Section,   // the PE section table and the sections' bytes
    Resource,  // one PE resource
    Ini,       // the values of the file read as INI text
    Flag,      // sets the result (FLAGIFNOFILE)
};

// How the value of an entry is written.
enum class ValueForm {
    Computed,   // exactly the text the rule computes: KEYWORD=computed holds
    Bound,      // a number the computed one is compared with
    Arguments,  // arguments, then the expected text ("count|digest", "name-digest")
    Fragment,   // a text searched for
    Any,        // anything
};

// What a rule reads of the file, for tools that read files for the rules
// ahead of them; bits.
enum RuleReads : unsigned {
    kReadsEntrySize = 1,   // the size in the directory entry, which a search finds ("*", "?" are wildcards)
    kReadsWholeFile = 2,   // every byte, for one checksum (KnownDigests answers the family's)
    kReadsRanges = 4,      // byte ranges
    kReadsSections = 8,    // the PE section table and the sections' bytes
    kReadsResources = 16,  // PE resources
    kReadsIniText = 32,    // the file as INI text (found by a directory search first)
};

// One row of a keyword table. Names are compared exactly (after the entry's
// name is upper-cased), so the order of the rows decides nothing.
//
// A rule that computes a text and compares it with the entry's expected text
// has parse, format and compute, and its handler is Compared over them (made
// by ComputedRow). A rule that does anything else (a bound, a search, the
// flag) has its own handler and none of the three.
struct Keyword {
    std::string_view name;  // upper case
    RuleHandler handler;    // null for the entry that sets the result to true
    RuleFamily family;
    ValueForm form;
    unsigned reads = 0;  // RuleReads
    ValueParser parse = nullptr;
    ValueFormatter format = nullptr;
    RuleCompute compute = nullptr;

    // Whether the rule looks into a PE image.
    constexpr bool ReadsImage() const noexcept { return (reads & (kReadsSections | kReadsResources)) != 0; }
    // KEYWORD=value of these arguments and expected text; rows with format only.
    std::string Entry(const RuleArguments& arguments, std::string_view expected) const {
        return std::string(name) + "=" + format(arguments, expected);
    }
};

// The texts computed from one file, by rule and arguments, for a caller
// that evaluates many lists against a file that does not change meanwhile:
// each text is computed once, and a rule that threw throws again with its
// reason. The process's own failures (std::bad_alloc,
// platform::ResourcesExhausted) are never kept.
class ComputedTexts {
public:
    // The text of compute for the arguments: the one kept, or computed and kept.
    std::string Compute(RuleCompute compute, const RuleContext& context, const RuleArguments& arguments);
    // How many texts (and failures) are kept.
    std::size_t Size() const noexcept { return kept_.size(); }

private:
    struct Kept {
        std::string text;
        bool threw = false;
        std::string reason;
    };
    std::unordered_map<std::string, Kept> kept_;  // by the compute function and the arguments
};

// The text of the rule for the arguments, from the context's texts when it has them.
inline std::string ComputeText(RuleCompute compute, const RuleContext& context, const RuleArguments& arguments) {
    return context.texts ? context.texts->Compute(compute, context, arguments) : compute(context, arguments);
}

// The handler of a rule that computes and compares: the value cut into
// arguments and expected text, the text computed for the arguments, and
// the rule holds when the two are equal.
template <ValueParser Parse, RuleCompute Compute>
bool Compared(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    const ParsedValue parsed = Parse(value);
    return trace.Set(ComputeText(Compute, context, parsed.arguments)) == parsed.expected;
}

// The row of a rule that computes and compares.
template <ValueParser Parse, ValueFormatter Format, RuleCompute Compute>
constexpr Keyword ComputedRow(std::string_view name, RuleFamily family, ValueForm form, unsigned reads) {
    return Keyword{name, &Compared<Parse, Compute>, family, form, reads, Parse, Format, Compute};
}

// The row of a rule with its own handler.
constexpr Keyword CheckedRow(std::string_view name, RuleHandler handler, RuleFamily family, ValueForm form,
                             unsigned reads) {
    return Keyword{name, handler, family, form, reads};
}

}  // namespace ondrel
