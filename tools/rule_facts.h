#pragma once
// What the tools know of a rule beyond its keyword-table row (family and
// value form). Only rules that take arguments need anything here.
#include "checks/rule.h"

namespace ondrel::tool {

// Whether the rule measures the file through its directory entry, whose
// size is the low 32 bits and whose search reads "*" and "?" in the last
// part of the name as wildcards: the size rules, and ENDMD5, whose range
// counts back from that size.
constexpr bool MeasuresDirectorySize(const Keyword& k) noexcept {
    return k.family == RuleFamily::FileSize || k.name == "ENDMD5";
}

// Whether the rule looks into a PE image.
constexpr bool ReadsImage(const Keyword& k) noexcept {
    return k.family == RuleFamily::Section || k.family == RuleFamily::Resource;
}

// The keyword-table row of a name (upper case); null when there is none.
const Keyword* FindKeyword(std::string_view name) noexcept;

}  // namespace ondrel::tool
