#pragma once
// ondrel inspect: one report of a file, rendered as text or as JSON by the
// command: its size, the rules whose value is what they compute, and for a
// PE image each section and resource with the rule that names it.
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "tools/rules/file_facts.h"

namespace ondrel::tool {

struct InspectReport {
    std::string file;
    FileFacts facts;
    std::vector<std::string> rules;  // KEYWORD=computed, as the engine computes them
    std::vector<std::string> notes;  // rules left out, with why
};

// The report, or why not when the file cannot be opened for reading.
platform::Result<InspectReport, platform::Reason> BuildInspectReport(const std::string& fileName);

// The entry that names a section or resource as a check list holds it
// (quoted where it must be); nothing when no rule names it.
std::optional<std::string> SectionEntry(const SectionFacts& section);
std::optional<std::string> ResourceEntry(const ResourceFacts& resource);

}  // namespace ondrel::tool
