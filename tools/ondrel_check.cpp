// ondrel-check FILE CHECKLIST: evaluates a check list against a file with the
// library's own engine and shows, entry by entry, what happened.
#include <cstdio>
#include <cstring>
#include <string>

#include "checks/engine.h"
#include "checks/rules.h"
#include "ondrel_version.h"

namespace {

class Printer : public ondrel::EvaluationObserver {
public:
    void OnEntry(const std::string& entry, std::string_view keyword, const ondrel::RuleTrace& trace,
                 ondrel::Outcome outcome) override {
        std::printf("[%zu] %s\n", ++index_, entry.c_str());
        if (!keyword.empty()) std::printf("    keyword:  %.*s\n", static_cast<int>(keyword.size()), keyword.data());
        if (trace.hasText) std::printf("    computed: %s\n", trace.text.c_str());
        std::printf("    outcome:  %s\n", ondrel::OutcomeName(outcome));
    }
    void OnResult(bool result) override { std::printf("result: %s\n", result ? "1 (holds)" : "0 (does not hold)"); }

private:
    std::size_t index_ = 0;
};

}  // namespace

constexpr const char* kUsage =
    "usage: ondrel-check FILE CHECKLIST\n"
    "  Evaluates CHECKLIST (for example \"FILESIZE>=4096,MD5=...\") against FILE\n"
    "  and prints each entry, its keyword, what the rule computed and its outcome.\n"
    "  Exit status: 0 when the check holds, 1 when it does not, 2 for a usage error.\n"
    "       ondrel-check --help | --version\n";

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ondrel-check " ONDREL_VERSION "\n");
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        Printer printer;
        return ondrel::Evaluate(argv[1], argv[2], ondrel::LibraryKeywords(), &printer) ? 0 : 1;
    } catch (...) {
        std::printf("result: 0 (out of memory)\n");
        return 1;
    }
}
