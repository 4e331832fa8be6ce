// What ondrel inspect and make read of an image, on arbitrary file bytes
// written to a temporary file: inspect's report (the file's facts, the
// rules it computes, the entry it shows for each section and resource) and
// the list make writes with every rule set, made as make makes it (the file
// read once by the pool's FileBatch, the rules reading its kept bytes) and
// by the rules reading the file themselves. Checks that both lists are the
// same, that the list holds when the engine checks it, and that every entry
// inspect shows holds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "checks/engine.h"
#include "checks/rules.h"
#include "fuzz/fuzz_support.h"
#include "tools/rules/image_report.h"
#include "tools/batch/in_order.h"
#include "tools/rules/make_list.h"

namespace {

using namespace ondrel;
using namespace ondrel::tool;
using ondrel::fuzz::Require;

bool Holds(const std::string& file, const std::string& list) {
    return Evaluate(file.c_str(), list.c_str(), LibraryKeywords(), nullptr);
}

const RuleChoice& AllRules() {
    static const RuleChoice all = [] {
        return *ParseRuleSets({"all"});
    }();
    return all;
}

// The list make writes for the file, on the pool as make runs it.
MadeList MadeAsMakeDoes(const std::string& file) {
    MadeList made;
    RunFilesInOrder<MadeList>(
        1, 1, [&](std::size_t) { return ReadPlan{&file, NeedsOf(AllRules())}; },
        [&](std::size_t, const FileRead* read) { return MakeCheckList(file, AllRules(), read); },
        [&](std::size_t, MadeList& m) { made = std::move(m); }, [](std::size_t) {});
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ondrel::fuzz::ScratchDir scratch("ondrel-fuzz-tool-image");
    static const std::string file = scratch.File("input.dll");
    FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) return 0;
    std::fwrite(data, 1, size, out);
    std::fclose(out);

    const auto report = BuildInspectReport(file);
    Require(report.has_value());
    Require(report->facts.size == size);
    for (const SectionFacts& s : report->facts.sections)
        if (const std::optional<std::string> entry = SectionEntry(s)) Require(Holds(file, *entry));
    for (const ResourceFacts& r : report->facts.resources)
        if (const std::optional<std::string> entry = ResourceEntry(r)) Require(Holds(file, *entry));

    const MadeList alone = MakeCheckList(file, AllRules());
    const MadeList batched = MadeAsMakeDoes(file);
    Require(batched.checkList == alone.checkList);
    Require(batched.leftOut == alone.leftOut);
    Require(batched.problem == alone.problem);
    Require(alone.problem.empty() == !alone.checkList.empty());
    if (!alone.checkList.empty()) Require(Holds(file, alone.checkList));
    return 0;
}
