// ondrel verify: every file of a manifest checked, on all cores.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "checks/rules.h"
#include "platform/file.h"
#include "platform/find.h"
#include "tools/tool.h"

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
        done_ = true;
    }
    void OnResult(bool) override {}

private:
    FileVerdict& verdict_;
    bool done_ = false;
};

FileVerdict VerifyOne(const std::string& file, const std::string& list) {
    FileVerdict verdict;
    try {
        FirstFailure watch(verdict);
        if (Evaluate(file.c_str(), list.c_str(), LibraryKeywords(), nullptr, &watch)) return FileVerdict{};
        verdict.verdict = platform::FindFirstEntry(file) ? Verdict::Failed : Verdict::Missing;
    } catch (...) {
        verdict.verdict = Verdict::Failed;
        verdict.reason = "out of memory";
    }
    return verdict;
}

}  // namespace

std::vector<FileVerdict> VerifyAll(const std::vector<std::pair<std::string, std::string>>& filesAndLists,
                                   unsigned threads, void (*progress)(std::size_t done, std::size_t total)) {
    std::vector<FileVerdict> verdicts(filesAndLists.size());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < filesAndLists.size();) {
            verdicts[i] = VerifyOne(filesAndLists[i].first, filesAndLists[i].second);
            done.fetch_add(1);
        }
    };
    if (threads < 1) threads = 1;
    if (threads > filesAndLists.size()) threads = static_cast<unsigned>(std::max<std::size_t>(1, filesAndLists.size()));
    // With a progress display the calling thread only draws; otherwise it checks too.
    std::vector<std::thread> workers;
    for (unsigned t = progress ? 0 : 1; t < threads; ++t) workers.emplace_back(work);
    if (progress) {
        while (done.load() < filesAndLists.size()) {
            progress(done.load(), filesAndLists.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    } else {
        work();
    }
    for (std::thread& w : workers) w.join();
    if (progress) progress(done.load(), filesAndLists.size());
    return verdicts;
}

}  // namespace ondrel::tool
