// ondrel verify: one file against the check list of its manifest line.
#include "tools/manifest/verify.h"

#include <new>

#include "checks/engine.h"
#include "checks/rules.h"
#include "tools/batch/file_batch.h"
#include "platform/file.h"

namespace ondrel::tool {

namespace {

class FirstFailure : public EvaluationObserver {
public:
    explicit FirstFailure(FileVerdict& verdict) : verdict_(verdict) {}
    void OnEntry(const CheckListItem& item, std::string_view, const RuleTrace& trace, Outcome outcome) override {
        if (done_ || outcome == Outcome::Held || outcome == Outcome::SetTrue || outcome == Outcome::NotEvaluated) return;
        verdict_.failedEntry = item.text;
        verdict_.computed = trace.text.value_or(std::string());
        verdict_.reason = trace.reason;
        if (outcome == Outcome::Unrecognised) verdict_.reason = "unknown keyword " + SplitEntry(item.text).name;
        done_ = true;
    }
    void OnResult(bool) override {}

private:
    FileVerdict& verdict_;
    bool done_ = false;
};

// Why a name leads to no regular file.
std::string WhyMissing(const std::string& path) {
    platform::Result<platform::File, platform::OpenFailure> file = platform::File::Open(path, platform::Share::ReadWrite);
    if (file) return "it was there only while it was checked";
    return platform::OpenFailureText(file.failure());
}

FileVerdict Missing(std::string reason) {
    FileVerdict v;
    v.verdict = Verdict::Missing;
    v.reason = std::move(reason);
    return v;
}

}  // namespace

FileVerdict VerifyFile(const std::string& path, const std::string& checkList, const FileRead* read) {
    FileVerdict verdict;
    try {
        FirstFailure watch(verdict);
        const KnownDigests known = read ? read->Known() : KnownDigests{};
        const bool held =
            Evaluate(path.c_str(), checkList.c_str(), LibraryKeywords(), nullptr, &watch, read ? &known : nullptr);
        // Asked after the rules, so that a file removed while they ran is
        // missing too; a file read in full was there.
        if (!read && !platform::IdentityOf(path)) return Missing(WhyMissing(path));
        if (held) return FileVerdict{};
        verdict.verdict = Verdict::Failed;
    } catch (const std::bad_alloc&) {
        verdict.verdict = Verdict::Failed;
        verdict.reason = "out of memory";
    } catch (const platform::ResourcesExhausted& e) {
        verdict.verdict = Verdict::Failed;
        verdict.reason = e.what();
    }
    return verdict;
}

}  // namespace ondrel::tool
