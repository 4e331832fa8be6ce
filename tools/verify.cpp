// ondrel verify: every file of a manifest checked, on all cores.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "checks/rules.h"
#include "checks/section_rules.h"
#include "checksums/md5.h"
#include "platform/file.h"
#include "platform/find.h"
#include "tools/tool.h"

namespace ondrel::tool {

namespace {

// The digest of a whole file as Md5OfFile gives it (a file that cannot be
// opened, is empty or cannot be held whole by this process gives the digest
// of no bytes), from reads into a buffer of the thread's own: for many small
// files a mapping costs more than the digest, and unmapping in a process of
// several threads costs most.
std::string WholeFileDigest(const std::string& fileName) {
    constexpr std::size_t kChunk = 1 << 20;
    thread_local std::vector<unsigned char> buffer;
    Md5Context context;
    Md5Init(context);
    platform::File file = platform::File::Open(fileName, platform::Share::ReadWrite);
    const std::uint64_t size = file ? file.Size() : 0;
    if (size > 0 && size <= SIZE_MAX) {
        if (buffer.size() < kChunk) buffer.resize(kChunk);
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk));
        for (std::uint64_t left = size; left > 0;) {
            const std::int64_t got =
                file.Read(buffer.data(), static_cast<std::uint32_t>(std::min<std::uint64_t>(left, want)));
            if (got < 0) {
                Md5Init(context);  // a file that cannot be read counts as no bytes
                break;
            }
            if (got == 0) break;  // shorter than it was
            Md5Update(context, buffer.data(), static_cast<std::uint32_t>(got));
            left -= static_cast<std::uint64_t>(got);
        }
    }
    Md5Digest digest;
    Md5Final(context, digest);
    return DigestText(digest);
}

bool FreshMd5Rule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    trace.Set(WholeFileDigest(fileName));
    return trace.text == value;
}

// The section table comes from the image-help service on Windows, whose
// functions must not run on two threads at once: the section rules take turns.
std::mutex g_sectionRules;

bool FreshAllSectionsRule(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    const std::lock_guard<std::mutex> turn(g_sectionRules);
    trace.Set(AllSectionsDigest(fileName));
    return trace.text == value;
}

bool SectionSizeInTurn(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    const std::lock_guard<std::mutex> turn(g_sectionRules);
    return SectionSizeRule(fileName, value, trace);
}

bool SectionDigestInTurn(const std::string& fileName, const std::string& value, RuleTrace& trace) {
    const std::lock_guard<std::mutex> turn(g_sectionRules);
    return SectionDigestRule(fileName, value, trace);
}

std::vector<Keyword> MakeUncachedKeywords() {
    std::vector<Keyword> keywords(LibraryKeywords().begin(), LibraryKeywords().end());
    for (Keyword& k : keywords) {
        if (k.name == "MD5") k.handler = &FreshMd5Rule;
        if (k.name == "SECMD5") k.handler = &FreshAllSectionsRule;
        if (k.name == "SECSIZE") k.handler = &SectionSizeInTurn;
        if (k.name == "SSECMD5") k.handler = &SectionDigestInTurn;
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
