// The ondrel command line: the subcommands, parsing, and the exit status of
// what went wrong outside them (usage, a failed write, memory).
#include "tools/cli/cli.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ondrel_version.h"
#include "platform/result.h"
#include "tools/cli/commands.h"
#include "tools/cli/output.h"

namespace ondrel::tool {

namespace {

constexpr const char* kSubcommands[] = {"check", "make", "inspect", "verify", "identify", "catalog"};

// The first argument that is no option names a subcommand (or there is
// none, or it is empty: the parser says that no subcommand was given); or
// why not.
platform::Outcome KnownSubcommand(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (!a.empty() && a[0] == '-') continue;
        if (a.empty() || std::find(std::begin(kSubcommands), std::end(kSubcommands), a) != std::end(kSubcommands)) break;
        return platform::Reason{"unknown subcommand \"" + a + "\" (ondrel --help lists them)"};
    }
    return platform::Done{};
}

int Parse(CLI::App& app, std::vector<std::string> args, bool checkAlias) {
    std::reverse(args.begin(), args.end());  // CLI11 takes a vector in reverse order
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (checkAlias) std::cerr << "usage: ondrel-check FILE CHECKLIST [--quiet | --json]\n";
        app.exit(e);
        return kUsage;
    }
    return -1;
}

// Hands standard output to the system: a write that fails now fails the command.
int Finish(int status) {
    try {
        out::Flush();
    } catch (const WriteFailed& e) {
        Warn({}, std::string("write error: ") + e.what());
        return kUsage;
    }
    return status;
}

// Out of memory, in the command or in one of its threads: what was printed
// before stays, and the message needs no memory of its own.
int OutOfMemory() {
    try {
        out::Flush();
    } catch (const WriteFailed&) {
    }
    std::fputs("ondrel: out of memory\n", stderr);
    return kUsage;
}

}  // namespace

int RunOndrel(int argc, char** argv, bool checkAlias) {
    CLI::App app{"ondrel " ONDREL_VERSION
                 ": recognises one exact version of a file by a check list of rules, with the same engine as "
                 "the library's AdvancedCheck.",
                 "ondrel"};
    app.set_version_flag("--version", "ondrel " ONDREL_VERSION);
    app.footer("Exit status: 0 the check holds, every file held or was made; 1 it does not; 2 a usage error, a "
               "list that cannot be read, a failed write, or memory running out. Each subcommand's --help tells its own.");
    app.require_subcommand(1);
    int status = kFails;
    SetupCheck(app, status);
    SetupMake(app, status);
    SetupInspect(app, status);
    SetupVerify(app, status);
    SetupIdentify(app, status);
    SetupCatalog(app, status);

    std::vector<std::string> args;
    if (checkAlias) args.push_back("check");
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    if (const platform::Outcome known = KnownSubcommand(args); !known) {
        Warn({}, known.failure().text);
        return kUsage;
    }
    try {
        if (const int parsed = Parse(app, args, checkAlias); parsed >= 0) return parsed;
    } catch (const WriteFailed& e) {
        Warn({}, std::string("write error: ") + e.what());
        return kUsage;
    } catch (const std::bad_alloc&) {
        return OutOfMemory();
    }
    return Finish(status);
}

}  // namespace ondrel::tool
