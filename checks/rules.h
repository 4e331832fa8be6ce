#pragma once
// The library's rules: the keyword table (rules.cpp), one row per rule,
// and what the rows are made of, one family per source file. A rule that
// computes a text and compares it declares its Compute here; a rule with
// its own check declares its handler.
#include <span>

#include "checks/rule.h"
#include "checks/rule_values.h"

namespace ondrel {

// The library's keywords, one row per rule.
std::span<const Keyword> LibraryKeywords() noexcept;

// The row of a keyword (upper case) in the library's table; null when there is none.
const Keyword* LibraryKeyword(std::string_view name) noexcept;

// File size (file_size_rules.cpp)
std::string FileSizeText(const RuleContext& context, const RuleArguments& arguments);
bool FileSizeAtLeastRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool FileSizeAtMostRule(const RuleContext& context, const std::string& value, RuleTrace& trace);

// Resources of PE images (resource_rules.cpp)
std::string IconDigestText(const RuleContext& context, const RuleArguments& arguments);
std::string BitmapDigestText(const RuleContext& context, const RuleArguments& arguments);
std::string ResourceDigestText(const RuleContext& context, const RuleArguments& arguments);

// Sections of PE images (section_rules.cpp)
std::string SectionSizeText(const RuleContext& context, const RuleArguments& arguments);
std::string SectionDigestText(const RuleContext& context, const RuleArguments& arguments);
std::string AllSectionsDigestText(const RuleContext& context, const RuleArguments& arguments);
// INI value (ini_rule.cpp)
bool IniRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
// Whole-file and byte-range digests (digest_rules.cpp)
std::string Crc32Text(const RuleContext& context, const RuleArguments& arguments);
std::string Md5Text(const RuleContext& context, const RuleArguments& arguments);
std::string EndDigestText(const RuleContext& context, const RuleArguments& arguments);
std::string RangeDigestText(const RuleContext& context, const RuleArguments& arguments);

// The handlers of the digest rules by name, as their tests and fuzz target call them.
inline constexpr auto& Crc32Rule = Compared<&ParseWhole, &Crc32Text>;
inline constexpr auto& Md5Rule = Compared<&ParseWhole, &Md5Text>;
inline constexpr auto& EndMd5Rule = Compared<&ParseCountSkip, &EndDigestText>;
inline constexpr auto& SizeMd5Rule = Compared<&ParseTwoBars, &RangeDigestText>;

}  // namespace ondrel
