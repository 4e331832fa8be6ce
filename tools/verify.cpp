// ondrel verify: every file of a manifest checked, on all cores.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "checks/rules.h"
#include "checks/section_rules.h"
#include "checks/file_digests.h"
#include "checksums/md5.h"
#include "platform/file.h"
#include "platform/find.h"
#include "tools/tool.h"

namespace ondrel::tool {

namespace {

// "MD5" and "SECMD5" computed afresh for every file, as the library computes
// them on a cache miss: the library's caches take names that differ only in
// letter case for one file, which two paths of a manifest need not be.
bool FreshMd5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    Md5Digest digest;
    Md5OfFile(fileName, digest);
    trace.Set(DigestText(digest));
    return trace.text == value;
}

bool FreshAllSectionsRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    trace.Set(AllSectionsDigest(fileName));
    return trace.text == value;
}

std::vector<Keyword> MakeUncachedKeywords() {
    std::vector<Keyword> keywords(LibraryKeywords().begin(), LibraryKeywords().end());
    for (Keyword& k : keywords) {
        if (k.name == "MD5") k.handler = &FreshMd5Rule;
        if (k.name == "SECMD5") k.handler = &FreshAllSectionsRule;
    }
    return keywords;
}

class FirstFailure : public EvaluationObserver {
public:
    explicit FirstFailure(FileVerdict& verdict) : verdict_(verdict) {}
    void OnEntry(const std::string& entry, std::string_view, const RuleTrace& trace, Outcome outcome) override {
        if (done_ || outcome == Outcome::Held || outcome == Outcome::SetTrue || outcome == Outcome::NotEvaluated) return;
        verdict_.failedEntry = entry;
        verdict_.computed = trace.text;
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
        if (Evaluate(file.c_str(), list.c_str(), UncachedKeywords(), &watch)) return FileVerdict{};
        verdict.verdict = platform::FindFirstEntry(file) ? Verdict::Failed : Verdict::Missing;
    } catch (...) {
        verdict.verdict = Verdict::Failed;
        verdict.reason = "out of memory";
    }
    return verdict;
}

}  // namespace

std::span<const Keyword> UncachedKeywords() noexcept {
    static const std::vector<Keyword> keywords = MakeUncachedKeywords();
    return keywords;
}

std::vector<FileVerdict> VerifyAll(const std::vector<std::pair<std::string, std::string>>& filesAndLists,
                                   unsigned threads, void (*progress)(std::size_t done, std::size_t total)) {
    std::vector<FileVerdict> verdicts(filesAndLists.size());
    (void)UncachedKeywords();  // built before the workers start
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
