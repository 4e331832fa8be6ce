#pragma once
// The library's rules: the keyword table (rules.cpp) and the handlers, one
// family per source file. Each handler is called with the file name and the
// entry's value and answers whether the rule holds.
#include <span>

#include "checks/rule.h"

namespace ondrel {

// The library's keywords, each with its handler.
std::span<const Keyword> LibraryKeywords() noexcept;

// File size (file_size_rules.cpp)
bool FileSizeRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool FileSizeAtLeastRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool FileSizeAtMostRule(const RuleContext& context, const std::string& value, RuleTrace& trace);

// Resources of PE images (resource_rules.cpp)
bool IconDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool BitmapDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool ResourceDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace);

// Sections of PE images (section_rules.cpp)
bool SectionSizeRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool SectionDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool AllSectionsDigestRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
// INI value (ini_rule.cpp)
bool IniRule(const RuleContext& context, const std::string& value, RuleTrace& trace);
// Whole-file and byte-range digests (digest_rules.cpp)
bool Crc32Rule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool Md5Rule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool EndMd5Rule(const RuleContext& context, const std::string& value, RuleTrace& trace);
bool SizeMd5Rule(const RuleContext& context, const std::string& value, RuleTrace& trace);

}  // namespace ondrel
