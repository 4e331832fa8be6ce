// The ondrel command line: check, make, inspect, verify.
#include "tools/cli.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "ondrel_version.h"
#include "checks/check_list.h"
#include "platform/file.h"
#include "tools/tool.h"

#ifdef _WIN32
#include <io.h>
#define ONDREL_ISATTY(fd) _isatty(fd)
#else
#include <sys/stat.h>
#include <unistd.h>
#define ONDREL_ISATTY(fd) isatty(fd)
#endif

namespace ondrel::tool {

namespace {

using nlohmann::json;

constexpr int kHolds = 0;
constexpr int kFails = 1;
constexpr int kUsage = 2;

void PrintJson(const json& value) {
    // Texts that are no UTF-8 (8-bit names of the ANSI code page) keep their
    // valid parts; the others become U+FFFD.
    std::cout << value.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

json Nullable(bool has, const std::string& text) { return has ? json(text) : json(nullptr); }

// ---- check ----

struct CheckOptions {
    std::string file;
    std::string checkList;
    bool quiet = false;
    bool asJson = false;
};

int RunCheckCommand(const CheckOptions& o) {
    const CheckReport report = RunCheck(o.file, o.checkList);
    if (o.quiet) return report.result ? kHolds : kFails;
    if (o.asJson) {
        json entries = json::array();
        for (const EntryReport& r : report.entries) {
            entries.push_back({{"entry", r.entry},
                               {"keyword", r.keyword.empty() ? json(nullptr) : json(r.keyword)},
                               {"computed", Nullable(r.hasText, r.computed)},
                               {"outcome", OutcomeName(r.outcome)},
                               {"reason", Nullable(!r.reason.empty(), r.reason)},
                               {"notes", r.notes},
                               {"hints", r.hints}});
        }
        PrintJson({{"file", o.file}, {"checkList", o.checkList}, {"result", report.result}, {"entries", entries}});
    } else {
        std::size_t index = 0;
        for (const EntryReport& r : report.entries) {
            std::cout << '[' << ++index << "] " << r.entry << '\n';
            if (!r.keyword.empty()) std::cout << "    keyword:  " << r.keyword << '\n';
            if (r.hasText) std::cout << "    computed: " << r.computed << '\n';
            std::cout << "    outcome:  " << OutcomeName(r.outcome) << '\n';
            if (!r.reason.empty()) std::cout << "    reason:   " << r.reason << '\n';
            for (const std::string& n : r.notes) std::cout << "    note:     " << n << '\n';
            for (const std::string& h : r.hints) std::cout << "    hint:     " << h << '\n';
        }
        std::cout << "result: " << (report.result ? "1 (holds)" : "0 (does not hold)") << '\n';
    }
    return report.result ? kHolds : kFails;
}

// ---- make ----

struct MakeOptions {
    std::string file;
    std::string manifestDir;
    std::vector<std::string> rules{"default"};
};

// Why a file cannot be described at all; empty when it can.
std::string Unreadable(const std::string& file) {
    platform::Result<platform::File, platform::OpenFailure> f = platform::File::Open(file, platform::Share::ReadWrite);
    if (f) return {};
    return OpenFailureText(f.failure());
}

int MakeOne(const std::string& file, unsigned rules) {
    if (std::string why = Unreadable(file); !why.empty()) {
        std::cerr << "ondrel make: " << file << ": " << why << '\n';
        return kFails;
    }
    const MadeList made = MakeCheckList(file, rules, ProbeFile(file));
    for (const std::string& left : made.leftOut) std::cerr << "ondrel make: left out " << left << '\n';
    std::cout << made.checkList << '\n';
    return made.checkList.empty() ? kFails : kHolds;
}

int MakeManifest(const std::string& dir, unsigned rules) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(fs::path(dir), error)) {
        std::cerr << "ondrel make: " << dir << ": not a folder\n";
        return kUsage;
    }
#ifndef _WIN32
    // A list written into the folder it describes is left out of itself.
    struct stat out{};
    const bool outIsFile = fstat(1, &out) == 0 && S_ISREG(out.st_mode);
#endif
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(fs::path(dir), error), end; !error && it != end; it.increment(error)) {
        std::error_code e;
        if (!it->is_regular_file(e)) continue;
#ifndef _WIN32
        struct stat st{};
        if (outIsFile && stat(it->path().c_str(), &st) == 0 && st.st_dev == out.st_dev && st.st_ino == out.st_ino)
            continue;
#endif
        files.push_back(it->path());
    }
    if (error) {
        std::cerr << "ondrel make: " << dir << ": " << error.message() << '\n';
        return kFails;
    }
    std::sort(files.begin(), files.end());
    std::cout << "# ondrel manifest: check list, TAB, path (relative to this file's folder)\n";
    int status = kHolds;
    for (const fs::path& p : files) {
        fs::path shown = p.lexically_normal();
        shown.make_preferred();
        const std::string path = shown.string();
        if (std::string why = Unreadable(path); !why.empty()) {
            std::cerr << "ondrel make: " << path << ": " << why << '\n';
            status = kFails;
            continue;
        }
        const MadeList made = MakeCheckList(path, rules, ProbeFile(path));
        if (made.checkList.empty()) {
            std::cerr << "ondrel make: " << path << ": no rule holds\n";
            status = kFails;
            continue;
        }
        std::cout << EscapeField(made.checkList) << '\t' << EscapeField(path) << '\n';
    }
    return status;
}

int RunMakeCommand(const MakeOptions& o) {
    std::vector<std::string> names;
    for (const std::string& r : o.rules) {  // "--rules md5,size" as well as "--rules md5 --rules size"
        std::stringstream parts(r);
        for (std::string part; std::getline(parts, part, ',');)
            if (!part.empty()) names.push_back(part);
    }
    std::string bad;
    std::optional<unsigned> rules = ParseRuleSets(names, bad);
    if (!rules) {
        std::cerr << "ondrel make: unknown rule set \"" << bad << "\" (see ondrel make --help)\n";
        return kUsage;
    }
    if (o.file.empty() == o.manifestDir.empty()) {
        std::cerr << "ondrel make: give either FILE or --manifest DIR\n";
        return kUsage;
    }
    return o.manifestDir.empty() ? MakeOne(o.file, *rules) : MakeManifest(o.manifestDir, *rules);
}

// ---- inspect ----

std::string Hex32(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::string ComputedFor(const std::string& file, const std::string& entry) {
    CheckReport r = RunCheck(file, QuoteEntry(entry));
    return r.entries.empty() || !r.entries[0].hasText ? std::string() : r.entries[0].computed;
}

int RunInspectCommand(const std::string& file, bool asJson) {
    if (std::string why = Unreadable(file); !why.empty()) {
        std::cerr << "ondrel inspect: " << file << ": " << why << '\n';
        return kFails;
    }
    const FileFacts facts = ProbeFile(file);
    const std::string size = ComputedFor(file, "FILESIZE=");
    const std::string crc = ComputedFor(file, "CRC32=");
    const std::string md5 = ComputedFor(file, "MD5=");
    json out = {{"file", file}, {"size", facts.size}, {"crc32", crc}, {"md5", md5}, {"pe", facts.pe},
                {"rules", {"FILESIZE=" + size, "CRC32=" + crc, "MD5=" + md5}}};
    std::string secSize, secMd5;
    json sections = json::array(), resources = json::array();
    if (!facts.pe) out["whyNotPe"] = facts.whyNotPe;
    if (facts.pe) {
        secSize = ComputedFor(file, "SECSIZE=");
        secMd5 = ComputedFor(file, "SECMD5=");
        out["secsize"] = {{"value", secSize}, {"rule", "SECSIZE=" + secSize}};
        out["secmd5"] = {{"value", secMd5}, {"rule", "SECMD5=" + secMd5}};
        for (const SectionFacts& s : facts.sections) {
            const std::string rule = SectionRule(file, s);
            sections.push_back({{"name", s.name}, {"rawPointer", s.pointerToRawData}, {"rawSize", s.sizeOfRawData},
                                {"code", s.code}, {"rule", rule.empty() ? json(nullptr) : json(QuoteEntry(rule))}});
        }
        for (const ResourceFacts& r : facts.resources) {
            const std::string rule = ResourceRule(file, r);
            json languages = json::array();
            for (std::uint16_t l : r.languages) languages.push_back(l);
            resources.push_back({{"type", r.typeText}, {"name", r.nameText}, {"languages", languages},
                                 {"size", r.size},
                                 {"value", rule.empty() ? json(nullptr) : json(rule.substr(rule.rfind('|') + 1))},
                                 {"rule", rule.empty() ? json(nullptr) : json(QuoteEntry(rule))},
                                 {"whyNoRule", r.whyNot.empty() ? json(nullptr) : json(r.whyNot)}});
        }
        out["sections"] = sections;
        out["resources"] = resources;
    }
    if (asJson) {
        PrintJson(out);
        return kHolds;
    }
    std::cout << "file:   " << file << '\n'
              << "size:   " << facts.size << "\tFILESIZE=" << size << '\n'
              << "CRC-32: " << crc << "\tCRC32=" << crc << '\n'
              << "MD5:    " << md5 << "\tMD5=" << md5 << '\n';
    if (!facts.pe) {
        std::cout << "not a PE image: " << facts.whyNotPe << '\n';
        return kHolds;
    }
    std::cout << "PE image, " << facts.sections.size() << " sections\tSECSIZE=" << secSize << "\tSECMD5=" << secMd5 << '\n';
    for (std::size_t i = 0; i < facts.sections.size(); ++i) {
        const SectionFacts& s = facts.sections[i];
        std::cout << "section \"" << s.name << "\": raw pointer " << Hex32(s.pointerToRawData) << ", raw size "
                  << s.sizeOfRawData << (s.code ? ", code" : "") << '\n';
        const json& rule = sections[i]["rule"];
        std::cout << "    " << (rule.is_null() ? std::string("(no SSECMD5 rule can name it)") : rule.get<std::string>()) << '\n';
    }
    for (std::size_t i = 0; i < facts.resources.size(); ++i) {
        const ResourceFacts& r = facts.resources[i];
        std::cout << "resource " << r.typeText << " \"" << r.nameText << "\": languages";
        for (std::uint16_t l : r.languages) {
            char text[8];
            std::snprintf(text, sizeof text, "%04X", l);
            std::cout << ' ' << text;
        }
        std::cout << ", " << r.size << " bytes\n";
        const json& rule = resources[i]["rule"];
        std::cout << "    " << (rule.is_null() ? "(no RESMD5 rule can name it: " + r.whyNot + ")" : rule.get<std::string>())
                  << '\n';
    }
    return kHolds;
}

// ---- verify ----

struct VerifyOptions {
    std::string manifest;
    bool quiet = false;
    bool asJson = false;
    unsigned jobs = 0;
};

void DrawProgress(std::size_t done, std::size_t total) {
    constexpr int kWidth = 40;
    const int filled = total ? static_cast<int>(done * kWidth / total) : kWidth;
    std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "########################################", kWidth - filled, "",
                 done, total);
    if (done == total) std::fprintf(stderr, "\r%*s\r", kWidth + 30, "");
    std::fflush(stderr);
}

int RunVerifyCommand(const VerifyOptions& o) {
    std::ifstream in(o.manifest, std::ios::binary);
    std::stringstream text;
    if (in) text << in.rdbuf();  // an empty manifest leaves text empty, which is fine
    if (!in || in.bad() || Unreadable(o.manifest).size()) {
        std::cerr << "ondrel verify: " << o.manifest << ": cannot be read\n";
        return kUsage;
    }
    const std::vector<ManifestLine> lines = ParseManifest(text.str());
    std::vector<std::pair<std::string, std::string>> work;
    std::vector<const ManifestLine*> workLines;
    std::size_t damaged = 0;
    json damagedJson = json::array();
    for (const ManifestLine& line : lines) {
        if (!line.damage.empty()) {
            ++damaged;
            if (o.asJson) damagedJson.push_back({{"line", line.number}, {"damage", line.damage}});
            else if (!o.quiet)
                std::cerr << o.manifest << ':' << line.number << ": damaged line: " << line.damage << '\n';
            continue;
        }
        work.emplace_back(ResolveManifestPath(o.manifest, line.path), line.checkList);
        workLines.push_back(&line);
    }
    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    const bool bar = !o.quiet && !o.asJson && ONDREL_ISATTY(2) && !work.empty();
    const std::vector<FileVerdict> verdicts = VerifyAll(work, jobs, bar ? &DrawProgress : nullptr);

    std::size_t held = 0, failed = 0, missing = 0;
    json files = json::array();
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        const FileVerdict& v = verdicts[i];
        if (v.verdict == Verdict::Held) {
            ++held;
            continue;
        }
        (v.verdict == Verdict::Missing ? missing : failed)++;
        const std::string shown = EscapeField(workLines[i]->path);
        if (o.asJson) {
            files.push_back({{"line", workLines[i]->number}, {"path", workLines[i]->path},
                             {"verdict", v.verdict == Verdict::Missing ? "missing" : "failed"},
                             {"entry", v.failedEntry}, {"computed", v.computed},
                             {"reason", v.reason.empty() ? json(nullptr) : json(v.reason)}});
        } else if (!o.quiet) {
            if (v.verdict == Verdict::Missing) {
                std::cout << shown << ": MISSING\n";
            } else {
                std::cout << shown << ": FAILED at " << v.failedEntry;
                if (!v.reason.empty()) std::cout << " (" << v.reason << ')';
                else std::cout << " (computed " << v.computed << ')';
                std::cout << '\n';
            }
        }
    }
    if (o.asJson) {
        PrintJson({{"manifest", o.manifest}, {"held", held}, {"failed", failed}, {"missing", missing},
                   {"damaged", damaged}, {"files", files}, {"damagedLines", damagedJson}});
    } else if (!o.quiet) {
        std::cout << held << " held, " << failed << " failed, " << missing << " missing";
        if (damaged) std::cout << ", " << damaged << " damaged line" << (damaged == 1 ? "" : "s");
        std::cout << '\n';
    }
    return failed == 0 && missing == 0 && damaged == 0 ? kHolds : kFails;
}

std::string RuleSetHelp() {
    std::string help = "Rule sets for --rules (comma-separated):\n";
    for (const RuleSetName& r : RuleSetNames()) {
        help += "  ";
        help += r.name;
        help.append(r.name.size() < 10 ? 10 - r.name.size() : 1, ' ');
        help += r.help;
        help += '\n';
    }
    return help;
}

}  // namespace

int RunOndrel(int argc, char** argv, bool checkAlias) {
    CLI::App app{"ondrel " ONDREL_VERSION
                 ": recognises one exact version of a file by a check list of rules, with the same engine as "
                 "the library's AdvancedCheck.",
                 "ondrel"};
    app.set_version_flag("--version", "ondrel " ONDREL_VERSION);
    app.footer("Exit status: 0 when the check holds (every file held), 1 when it does not, 2 for a usage error.");

    CheckOptions check;
    CLI::App* checkCmd = app.add_subcommand(
        "check", "Evaluates CHECKLIST against FILE and shows each entry: its keyword, what the rule computed, "
                 "its outcome, why a rule threw, notes where a rule held or failed on nothing, and hints.");
    checkCmd->add_option("FILE", check.file, "the file to check")->required();
    checkCmd->add_option("CHECKLIST", check.checkList, "the check list, for example \"FILESIZE>=4096,MD5=...\"")
        ->required();
    checkCmd->add_flag("-q,--quiet", check.quiet, "print nothing; the exit status tells");
    checkCmd->add_flag("--json", check.asJson, "print the entries as JSON");
    checkCmd->footer("Exit status: 0 holds, 1 does not hold, 2 usage error.");
    checkCmd->fallthrough();  // ondrel-check --version

    MakeOptions make;
    CLI::App* makeCmd = app.add_subcommand(
        "make", "Prints a check list that identifies FILE, or with --manifest a manifest of every file under DIR.");
    makeCmd->add_option("FILE", make.file, "the known-good file");
    makeCmd->add_option("--manifest", make.manifestDir, "write a manifest of every regular file under DIR")
        ->type_name("DIR");
    makeCmd->add_option("--rules", make.rules, "rule sets to use (default: default)")->type_name("SET[,SET...]");
    makeCmd->footer(RuleSetHelp() +
                    "Only entries that hold when checked are written; left-out ones are named on stderr.\n"
                    "Manifest: one line per file, the check list, a TAB, the path; see the README.");

    std::string inspectFile;
    bool inspectJson = false;
    CLI::App* inspectCmd = app.add_subcommand(
        "inspect", "Shows FILE's size, CRC-32 and MD5 and, for a PE image, its sections and resources, each with "
                   "the rule text to paste into a check list.");
    inspectCmd->add_option("FILE", inspectFile, "the file to inspect")->required();
    inspectCmd->add_flag("--json", inspectJson, "print as JSON");

    VerifyOptions verify;
    CLI::App* verifyCmd = app.add_subcommand(
        "verify", "Checks every file of a manifest on all cores; prints a line per file that failed or is missing "
                  "and a summary \"N held, M failed, K missing\".");
    verifyCmd->add_option("LIST", verify.manifest, "the manifest (as made by ondrel make --manifest)")->required();
    verifyCmd->add_flag("-q,--quiet", verify.quiet, "print nothing; the exit status tells");
    verifyCmd->add_flag("--json", verify.asJson, "print the outcome as JSON");
    verifyCmd->add_option("-j,--jobs", verify.jobs, "threads to check with (default: all cores)")
        ->check(CLI::Range(1u, 1024u));
    verifyCmd->footer("Exit status: 0 when every file held, 1 otherwise (also for damaged lines), 2 for a usage "
                      "error or an unreadable manifest.");
    app.require_subcommand(1);

    std::vector<std::string> args;
    if (checkAlias) args.push_back("check");
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
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
        if (checkAlias) std::cerr << "usage: ondrel-check FILE CHECKLIST [--quiet] [--json]\n";
        app.exit(e);
        return kUsage;
    }

    try {
        if (*checkCmd) {
            if (check.quiet && check.asJson) {
                std::cerr << "ondrel check: --quiet and --json exclude each other\n";
                return kUsage;
            }
            return RunCheckCommand(check);
        }
        if (*makeCmd) return RunMakeCommand(make);
        if (*inspectCmd) return RunInspectCommand(inspectFile, inspectJson);
        if (*verifyCmd) return RunVerifyCommand(verify);
    } catch (const std::bad_alloc&) {
        std::cerr << "ondrel: out of memory\n";
    }
    return kFails;
}

}  // namespace ondrel::tool
