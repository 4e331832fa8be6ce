#pragma once
// ondrel make --catalog NAME, --against OTHER..., --against-catalog
// CATALOG, --explain: the options make_command.cpp adds, and the run.
#include <optional>
#include <string>
#include <vector>

#include "tools/rules/make_list.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace ondrel::tool {

struct MakeAgainstOptions {
    std::string catalogName;               // --catalog NAME
    std::vector<std::string> against;      // --against OTHER...
    std::string againstCatalog;            // --against-catalog CATALOG
    bool explain = false;
};

// Adds the options to make; manifest, json and rules are make's own.
void AddMakeAgainstOptions(CLI::App& make, MakeAgainstOptions& o, CLI::Option* manifest, CLI::Option* json,
                           CLI::Option* rules);

// The paragraph of make's help on these options.
std::string MakeAgainstHelp();

// Runs make when one of these options was given: the exit status; nothing
// when none was.
std::optional<int> RunMakeAgainst(const MakeAgainstOptions& o, const std::vector<std::string>& files,
                                  const RuleChoice& rules, bool json);

}  // namespace ondrel::tool
