#pragma once
// The subcommands of ondrel, each set up by one function in its own file:
// its options, its help, and one callback that runs it and sets the exit
// status.
namespace CLI {
class App;
}

namespace ondrel::tool {

void SetupCheck(CLI::App& app, int& status);
void SetupMake(CLI::App& app, int& status);
void SetupInspect(CLI::App& app, int& status);
void SetupVerify(CLI::App& app, int& status);
void SetupIdentify(CLI::App& app, int& status);
void SetupCatalog(CLI::App& app, int& status);

}  // namespace ondrel::tool
