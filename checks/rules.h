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
bool FileSizeRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool FileSizeAtLeastRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool FileSizeAtMostRule(const std::string& fileName, const std::string& value, RuleTrace& trace);

// Resources of PE images (resource_rules.cpp)
bool IconDigestRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool BitmapDigestRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool ResourceDigestRule(const std::string& fileName, const std::string& value, RuleTrace& trace);

// Sections of PE images (section_rules.cpp)
bool SectionSizeRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool SectionDigestRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool AllSectionsDigestRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
// INI value (ini_rule.cpp)
bool IniRule(const std::string& fileName, const std::string& value, RuleTrace& trace);
// Whole-file and byte-range digests (digest_rules.cpp)
bool Crc32Rule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool Md5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool EndMd5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace);
bool SizeMd5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace);

}  // namespace ondrel
