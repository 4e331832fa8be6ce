#pragma once
// The ondrel command: what its subcommands compute, apart from printing.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "checks/engine.h"
#include "checks/rules.h"

namespace ondrel::tool {

// ---- What a file is, as far as the rules care ----

struct SectionFacts {
    std::string name;                  // up to the first zero byte
    std::uint32_t pointerToRawData = 0;
    std::uint32_t sizeOfRawData = 0;
    std::uint32_t characteristics = 0;
    bool code = false;                 // IMAGE_SCN_CNT_CODE
};

struct ResourceFacts {
    std::string typeText;              // as the resource rules take it ("RT_VERSION", "#300", "MYTYPE")
    std::string nameText;              // as the resource rules take it ("1", "MAINICON")
    std::uint16_t typeId = 0;          // 0 for a named type
    std::string whyNot;                // why the rules cannot name it; empty when they can
    std::vector<std::uint16_t> languages;
    std::uint32_t size = 0;            // of the data the rules find
};

struct FileFacts {
    bool found = false;                // the directory search finds the name
    bool directory = false;
    bool opened = false;               // opened for reading as a regular file
    std::uint64_t size = 0;            // full size, when opened
    bool pe = false;                   // a PE image with a section table
    std::string whyNotPe;              // when the file was read but is no PE image
    std::vector<SectionFacts> sections;
    std::vector<ResourceFacts> resources;  // one per type and name, in directory order
};

FileFacts ProbeFile(const std::string& fileName);

// ---- check ----

struct EntryReport {
    std::string entry;
    std::size_t group = 0;             // entries only blanks separate share a group
    std::string keyword;
    bool hasText = false;
    std::string computed;
    Outcome outcome = Outcome::NotEvaluated;
    std::string reason;                // why the rule threw
    std::vector<std::string> notes;    // the rule held or failed on nothing
    std::vector<std::string> hints;    // how the entry was probably meant
};

struct CheckReport {
    std::vector<EntryReport> entries;
    bool result = false;
};

// Evaluates the list with the library's engine and explains each entry.
CheckReport RunCheck(const std::string& fileName, const std::string& checkList);

// The known keyword nearest to a name (edit distance); empty when none is near.
std::string NearestKeyword(std::string_view name);


// ---- make ----

enum RuleSet : unsigned {
    kSize = 1u << 0,       // FILESIZE
    kCrc32 = 1u << 1,      // CRC32
    kMd5 = 1u << 2,        // MD5
    kSecSize = 1u << 3,    // SECSIZE
    kSecMd5 = 1u << 4,     // SECMD5
    kCode = 1u << 5,       // SSECMD5 of the code section
    kSections = 1u << 6,   // SSECMD5 of each section
    kIcon = 1u << 7,       // ICONMD5 of the main icon group
    kVersion = 1u << 8,    // RESMD5 of the version resource
    kResources = 1u << 9,  // RESMD5 of each resource
    kEnd = 1u << 10,       // ENDMD5 of the last 64 KiB at most
    kRange = 1u << 11,     // SIZEMD5 of the first 64 KiB at most
    kDefault = kSize | kCrc32 | kMd5 | kSecMd5 | kCode,
    kAll = (1u << 12) - 1,
};

// Names accepted by --rules, each with its set.
struct RuleSetName {
    std::string_view name;
    unsigned set;
    std::string_view help;
};
std::span<const RuleSetName> RuleSetNames() noexcept;
// The union of the named sets; nothing when a name is unknown (put in bad).
std::optional<unsigned> ParseRuleSets(const std::vector<std::string>& names, std::string& bad);


struct MadeList {
    std::string checkList;
    std::vector<std::string> leftOut;  // entries or names left out, with why
};
// A check list that identifies the file with the chosen rules. Only entries
// that hold when the engine checks them are kept; the others are reported.
// The digests are computed afresh (no caches), so one process can make
// lists for many files.
MadeList MakeCheckList(const std::string& fileName, unsigned rules, const FileFacts& facts);

// The rule text that each section and resource of the file would be checked
// with (SSECMD5=name-digest, RESMD5=type|name|digest), as make writes it.
std::string SectionRule(const std::string& fileName, const SectionFacts& section);
std::string ResourceRule(const std::string& fileName, const ResourceFacts& resource);

// ---- manifests ----
// One line per file: the check list, one TAB, the path. In both fields a
// backslash, TAB, line feed and carriage return are written \\ \t \n \r;
// every other byte stands for itself.

std::string EscapeField(std::string_view text);
std::optional<std::string> UnescapeField(std::string_view text);

struct ManifestLine {
    std::size_t number = 0;   // from 1
    std::string checkList;
    std::string path;         // as written, unescaped
    std::string damage;       // empty for a sound line
};
// The file and damaged lines of a manifest; comments and blank lines are skipped.
std::vector<ManifestLine> ParseManifest(std::string_view text);

// A path of the manifest as the checks open it: relative ones are taken from
// the manifest's own folder.
std::string ResolveManifestPath(const std::string& manifestName, const std::string& path);

// ---- verify ----

enum class Verdict { Held, Failed, Missing };

struct FileVerdict {
    Verdict verdict = Verdict::Held;
    std::string failedEntry;  // the entry that failed or threw first
    std::string computed;
    std::string reason;
};

// Evaluates each list against its file on the given number of threads;
// progress(done) is called from the calling thread now and then.
std::vector<FileVerdict> VerifyAll(const std::vector<std::pair<std::string, std::string>>& filesAndLists,
                                   unsigned threads, void (*progress)(std::size_t done, std::size_t total));

}  // namespace ondrel::tool
