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
#include <utility>

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

// What a rule is handed besides its value: the file name exactly as the
// caller gave it, the digest caches it may use, and what the caller already
// knows of the file. Without caches every digest is computed from the file.
struct RuleContext {
    const std::string& fileName;
    DigestCaches* caches = nullptr;
    const KnownDigests* known = nullptr;
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

// One row of a keyword table. Names are compared exactly (after the entry's
// name is upper-cased), so the order of the rows decides nothing.
struct Keyword {
    std::string_view name;  // upper case
    RuleHandler handler;    // null for the entry that sets the result to true
    RuleFamily family;
    ValueForm form;
};

}  // namespace ondrel
