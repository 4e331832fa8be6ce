#pragma once
// ondrel make: a check list that identifies a file, every value the one the
// rules compute and every entry checked by the engine before it is kept.
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "tools/batch/file_batch.h"

namespace ondrel::tool {

// A rule set that --rules names: a keyword whose value is what the rule
// computes (one set per such row of the keyword table, named after it in
// small letters), or one of the writers of rules that take arguments.
struct RuleSetInfo {
    std::string name;
    std::string help;
};
std::vector<RuleSetInfo> RuleSets();

// The writers chosen, by name; "default", "all" and "size" (filesize) stand
// for others. A name that is unknown is the reason there is no choice.
using RuleChoice = std::set<std::string>;
platform::Result<RuleChoice, platform::Reason> ParseRuleSets(const std::vector<std::string>& names);

struct MadeList {
    std::string checkList;              // empty when nothing could be made
    std::vector<std::string> leftOut;   // entries or names left out, with why
    std::string problem;                // why the file could not be described at all
};

// A check list that identifies the file with the chosen rules. Sections and
// resources are read from one parse of the image; every entry is then
// checked by the engine (no digest caches), and only those that hold are
// kept. This is all the work of one file, so many files may be made at once.
// With a read of the file (a FileBatch's), the CRC32 and MD5 entries are
// computed and checked from it, and the file is not opened again unless
// the chosen rules look into it further.
MadeList MakeCheckList(const std::string& fileName, const RuleChoice& rules, const FileRead* read = nullptr);
// What the chosen rules need of a file's bytes.
ReadNeeds NeedsOf(const RuleChoice& rules);

// What the row computes from the file for the arguments (the text an entry
// with them is compared with), or why not when the rule threw.
platform::Result<std::string, platform::Reason> ComputedValue(const std::string& fileName, const Keyword& row,
                                                              const RuleArguments& arguments,
                                                              const KnownDigests* known = nullptr);

}  // namespace ondrel::tool
