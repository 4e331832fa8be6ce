// make --against: the cheapest list that tells one file from the others.
#include "tools/catalog/separate.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <queue>

#include "checks/engine.h"
#include "checks/rules.h"
#include "platform/reader.h"
#include "tools/rules/file_facts.h"
#include "tools/rules/make_list.h"

namespace ondrel::tool {

namespace {

constexpr std::size_t kKept = 16;          // differing offsets kept from each end of a file
constexpr std::size_t kOpenAtOnce = 32;    // other files compared in one pass over the file
constexpr std::uint32_t kChunk = platform::FileReader::kChunk;
constexpr std::uint64_t kLargestOffset = 0x7FFFFFFF;  // of the range rules (signed 32-bit)

// Where one other file differs from the file, as far as it is kept: its
// first kKept differing offsets and its last kKept (ascending). When fewer
// than kKept were found from the start, those are all of them.
struct Differences {
    std::uint64_t size = 0;       // full size at open
    std::vector<std::uint64_t> first;
    std::vector<std::uint64_t> last;
    bool longer = false;          // it has bytes past the file's end

    bool Complete() const noexcept { return first.size() < kKept; }
    bool Any() const noexcept { return !first.empty() || longer; }
    void Add(std::uint64_t offset) {
        if (first.size() < kKept) first.push_back(offset);
        last.push_back(offset);
        if (last.size() > 2 * kKept) last.erase(last.begin(), last.end() - kKept);
    }
    void Trim() {
        if (last.size() > kKept) last.erase(last.begin(), last.end() - kKept);
    }
    // Whether offsets that were not kept may lie in [from, to].
    bool MayHideIn(std::uint64_t from, std::uint64_t to) const noexcept {
        return !Complete() && !last.empty() && from < last.front() && to > first.back();
    }
};

// The offsets where the n bytes at base differ: the first ones while fewer
// than kKept are kept, then the last kKept of the chunk, found from its end.
void NoteDifferences(Differences& d, const unsigned char* a, const unsigned char* b, std::size_t n, std::uint64_t base) {
    if (std::memcmp(a, b, n) == 0) return;
    std::size_t i = 0;
    for (; i < n && d.first.size() < kKept; ++i)
        if (a[i] != b[i]) d.Add(base + i);
    std::vector<std::uint64_t> tail;
    for (std::size_t j = n; j > i && tail.size() < kKept; --j)
        if (a[j - 1] != b[j - 1]) tail.push_back(base + j - 1);
    for (auto it = tail.rbegin(); it != tail.rend(); ++it) d.Add(*it);
    d.Trim();
}

using Reader = platform::FileReader;

using platform::Reason;

// The file opened for reading, or why not (with its name).
platform::Result<Reader, Reason> OpenReader(const std::string& name) {
    platform::Result<Reader, platform::OpenFailure> r = Reader::Open(name, platform::Share::ReadWrite);
    if (!r) return Reason{name + ": " + platform::OpenFailureText(r.failure())};
    return std::move(*r);
}

// What the row computes for a file; nothing when it cannot be computed,
// which tells the file from every file whose value was computed.
std::optional<std::string> ValueOf(const std::string& name, const Keyword& row, const RuleArguments& arguments) {
    return ComputedValue(name, row, arguments);
}

// Compares the file with the others named, kOpenAtOnce at a time, each
// pass reading the file once; or why a file could not be read.
platform::Outcome Compare(const std::string& file, const std::vector<std::string>& others,
                          const std::vector<std::size_t>& which, std::vector<Differences>& diffs) {
    auto a = std::make_unique<unsigned char[]>(kChunk);
    auto b = std::make_unique<unsigned char[]>(kChunk);
    for (std::size_t from = 0; from < which.size(); from += kOpenAtOnce) {
        const std::size_t to = std::min(which.size(), from + kOpenAtOnce);
        platform::Result<Reader, Reason> mine = OpenReader(file);
        if (!mine) return mine.failure();
        const std::uint64_t size = mine->Size();
        std::vector<Reader> readers;
        for (std::size_t k = from; k < to; ++k) {
            platform::Result<Reader, Reason> r = OpenReader(others[which[k]]);
            if (!r) return r.failure();
            diffs[which[k]].size = r->Size();
            readers.push_back(std::move(*r));
        }
        for (std::uint64_t offset = 0; offset < size; offset += kChunk) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - offset));
            if (!mine->ReadAt(offset, a.get(), n)) return Reason{file + ": it cannot be read"};
            for (std::size_t k = from; k < to; ++k) {
                Differences& d = diffs[which[k]];
                const std::size_t m = d.size > offset ? static_cast<std::size_t>(std::min<std::uint64_t>(n, d.size - offset)) : 0;
                if (m == 0) continue;
                if (!readers[k - from].ReadAt(offset, b.get(), m)) return Reason{others[which[k]] + ": it cannot be read"};
                NoteDifferences(d, a.get(), b.get(), m, offset);
            }
        }
        for (std::size_t k = from; k < to; ++k) {
            Differences& d = diffs[which[k]];
            if (d.size < size) {  // its range rules come short where the file still has bytes
                d.Add(d.size);
                if (size - 1 > d.size) d.Add(size - 1);
                d.Trim();
            }
            d.longer = d.size > size;
        }
    }
    return platform::Done{};
}

std::string Plural(std::size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Bytes(std::uint64_t n) { return n == 1 ? "1 byte" : std::to_string(n) + " bytes"; }

// Chooses the ranges, greedily, among the kept differing offsets.
class RangeChooser {
public:
    RangeChooser(const std::string& file, const std::vector<std::string>& others, std::vector<Differences>& diffs,
                 std::vector<bool>& told, std::uint64_t size, bool sizeRules, const SeparationLimits& limits)
        : file_(file), others_(others), diffs_(diffs), told_(told), size_(size), sizeRules_(sizeRules),
          limits_(limits) {}

    // The ranges, each as a rule; or why not when a digest cannot be computed.
    platform::Result<std::vector<SeparatingRule>, Reason> Choose(const std::vector<std::size_t>& open);

private:
    struct Pick {
        std::size_t count;
        std::uint64_t offset;
    };
    std::uint64_t Distance(std::uint64_t offset) const noexcept { return std::min(offset, size_ - 1 - offset); }
    bool Better(const Pick& x, const Pick& y) const noexcept {  // x before y
        if (x.count != y.count) return x.count > y.count;
        if (Distance(x.offset) != Distance(y.offset)) return Distance(x.offset) < Distance(y.offset);
        return x.offset < y.offset;
    }
    std::size_t Untold(std::uint64_t offset) const {
        const std::vector<std::size_t>& here = at_.at(offset);
        return static_cast<std::size_t>(std::count_if(here.begin(), here.end(), [&](std::size_t i) { return !told_[i]; }));
    }
    // Whether an offset holds a difference of a file not told apart yet,
    // that the range does not cover already.
    bool Adds(std::uint64_t offset, const std::vector<char>& inRange) const {
        for (std::size_t i : at_.at(offset))
            if (!told_[i] && !inRange[i]) return true;
        return false;
    }
    void Cover(std::uint64_t from, std::uint64_t to, std::vector<char>& inRange) const {
        for (auto it = at_.lower_bound(from); it != at_.end() && it->first <= to; ++it)
            for (std::size_t i : it->second) inRange[i] = 1;
    }
    platform::Result<SeparatingRule, Reason> Rule(std::uint64_t from, std::uint64_t to, std::vector<std::size_t> tells) const;
    void Index(const std::vector<std::size_t>& open, std::uint64_t end);
    void Grow(std::uint64_t& from, std::uint64_t& to, std::uint64_t end, std::vector<char>& inRange) const;
    platform::Result<std::vector<std::size_t>, Reason> Tells(std::uint64_t from, std::uint64_t to,
                                                             const std::vector<char>& inRange) const;

    const std::string& file_;
    const std::vector<std::string>& others_;
    std::vector<Differences>& diffs_;
    std::vector<bool>& told_;
    std::uint64_t size_;
    bool sizeRules_;
    const SeparationLimits& limits_;
    std::map<std::uint64_t, std::vector<std::size_t>> at_;  // offset: the files that differ there
};

// Every kept offset below end, with the files that differ there.
void RangeChooser::Index(const std::vector<std::size_t>& open, std::uint64_t end) {
    for (std::size_t i : open) {
        std::vector<std::uint64_t> offsets = diffs_[i].first;
        offsets.insert(offsets.end(), diffs_[i].last.begin(), diffs_[i].last.end());
        std::sort(offsets.begin(), offsets.end());
        offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
        for (std::uint64_t o : offsets)
            if (o < end) at_[o].push_back(i);
    }
}

// Differing bytes close by join the range while it stays short enough.
void RangeChooser::Grow(std::uint64_t& from, std::uint64_t& to, std::uint64_t end, std::vector<char>& inRange) const {
    Cover(from, to, inRange);
    for (bool grown = true; grown;) {
        grown = false;
        const std::uint64_t low = from > limits_.joinGap ? from - limits_.joinGap : 0;
        for (auto it = at_.lower_bound(low); it != at_.end() && it->first < from; ++it)
            if (to - it->first < limits_.longestRange && Adds(it->first, inRange)) {
                from = it->first;
                grown = true;
                break;
            }
        for (auto it = at_.upper_bound(std::min(to + limits_.joinGap, end - 1)); it != at_.begin();) {
            --it;
            if (it->first <= to) break;
            if (it->first - from < limits_.longestRange && Adds(it->first, inRange)) {
                to = it->first;
                grown = true;
                break;
            }
        }
        Cover(from, to, inRange);
    }
}

// The files not told apart yet that the range tells the file from: those
// with a kept offset in it, and those whose offsets were not all kept and
// whose bytes there differ (or cannot be read).
platform::Result<std::vector<std::size_t>, Reason> RangeChooser::Tells(std::uint64_t from, std::uint64_t to,
                                                                       const std::vector<char>& inRange) const {
    std::vector<std::size_t> tells;
    std::vector<std::size_t> unsure;
    for (std::size_t i = 0; i < others_.size(); ++i) {
        if (told_[i] || diffs_[i].first.empty()) continue;
        if (inRange[i]) tells.push_back(i);
        else if (diffs_[i].MayHideIn(from, to)) unsure.push_back(i);
    }
    if (unsure.empty()) return tells;
    platform::Result<Reader, Reason> mine = OpenReader(file_);
    std::string a(static_cast<std::size_t>(to - from + 1), '\0'), b = a;
    if (!mine || !mine->ReadAt(from, a.data(), a.size())) return Reason{file_ + ": it cannot be read"};
    for (std::size_t i : unsure) {
        platform::Result<Reader, Reason> theirs = OpenReader(others_[i]);
        if (!theirs || !theirs->ReadAt(from, b.data(), b.size()) || a != b) tells.push_back(i);
    }
    std::sort(tells.begin(), tells.end());
    return tells;
}

platform::Result<std::vector<SeparatingRule>, Reason> RangeChooser::Choose(const std::vector<std::size_t>& open) {
    const std::uint64_t end = std::min({limits_.rangeEnd, kLargestOffset + 1, size_});
    Index(open, end);
    auto worse = [this](const Pick& x, const Pick& y) { return Better(y, x); };
    std::priority_queue<Pick, std::vector<Pick>, decltype(worse)> queue(worse);
    for (const auto& [offset, files] : at_) queue.push({files.size(), offset});

    std::vector<SeparatingRule> rules;
    std::vector<char> inRange(others_.size(), 0);
    while (!queue.empty()) {
        const Pick top = queue.top();
        queue.pop();
        const std::size_t now = Untold(top.offset);
        if (now == 0) continue;
        if (now < top.count) {  // fewer than when it was queued: queued again at its worth now
            queue.push({now, top.offset});
            continue;
        }
        std::fill(inRange.begin(), inRange.end(), 0);
        std::uint64_t from = top.offset, to = top.offset;
        Grow(from, to, end, inRange);
        platform::Result<std::vector<std::size_t>, Reason> tells = Tells(from, to, inRange);
        if (!tells) return tells.failure();
        for (std::size_t i : *tells) told_[i] = true;
        platform::Result<SeparatingRule, Reason> rule = Rule(from, to, std::move(*tells));
        if (!rule) return rule.failure();
        rules.push_back(std::move(*rule));
    }
    return rules;
}

platform::Result<SeparatingRule, Reason> RangeChooser::Rule(std::uint64_t from, std::uint64_t to,
                                                            std::vector<std::size_t> tells) const {
    const std::uint64_t count = to - from + 1;
    // From the end when the range starts past the middle and the size
    // rules measure this file: ENDMD5 counts back from its size.
    const bool fromEnd = sizeRules_ && size_ <= kLargestOffset && from > (size_ - 1) / 2;
    const Keyword& row = *LibraryKeyword(fromEnd ? "ENDMD5" : "SIZEMD5");
    RuleArguments arguments;
    std::string where = count == 1 ? "the byte at offset " + std::to_string(from)
                                   : "offsets " + std::to_string(from) + " to " + std::to_string(to);
    if (fromEnd) {
        const std::uint64_t skip = size_ - 1 - to;
        arguments.push_back(std::to_string(count));
        if (skip) arguments.push_back(std::to_string(skip));
        where += skip ? ", " + std::to_string(skip) + " bytes before the end" : ", at the end";
    } else {
        arguments = {std::to_string(from), std::to_string(to)};
    }
    const platform::Result<std::string, Reason> digest = ComputedValue(file_, row, arguments);
    if (!digest)
        return Reason{file_ + ": " + row.Entry(arguments, "") + " cannot be computed (" + digest.failure().text + ")"};
    SeparatingRule rule;
    rule.entry = row.Entry(arguments, *digest);
    rule.bytesRead = count;
    rule.why = "reads " + Bytes(count) + " (" + where + "), where the file differs from " +
               Plural(tells.size(), "other file", "other files") + (sizeRules_ ? " of its size" : "");
    rule.tells = std::move(tells);
    return rule;
}

// The section digests, greedily: the section that tells the file from the
// most files left, the smallest first among equals.
std::vector<SeparatingRule> ChooseSections(const std::string& file, const std::vector<std::string>& others,
                                           std::vector<std::size_t>& left) {
    std::vector<SeparatingRule> rules;
    const FileFacts facts = ProbeFile(file, kImage | kSectionDigests);
    if (!facts.pe) return rules;
    struct Telling {
        const SectionFacts* section;
        std::vector<std::size_t> tells;
    };
    std::vector<Telling> sections;
    const Keyword& named = *LibraryKeyword("SSECMD5");
    for (const SectionFacts& s : facts.sections) {
        if (!s.whyNoRule.empty() || s.laterSameName || s.sizeOfRawData == 0 || s.digest.empty()) continue;
        Telling t{&s, {}};
        for (std::size_t i : left)
            if (ValueOf(others[i], named, {s.name}) != s.digest) t.tells.push_back(i);
        sections.push_back(std::move(t));
    }
    while (!left.empty()) {
        auto count = [&](const Telling& t) {
            return std::count_if(t.tells.begin(), t.tells.end(),
                                 [&](std::size_t i) { return std::find(left.begin(), left.end(), i) != left.end(); });
        };
        auto best = std::max_element(sections.begin(), sections.end(), [&](const Telling& x, const Telling& y) {
            if (count(x) != count(y)) return count(x) < count(y);
            return x.section->sizeOfRawData > y.section->sizeOfRawData;
        });
        if (best == sections.end() || count(*best) == 0) break;
        SeparatingRule rule;
        rule.entry = named.Entry({best->section->name}, best->section->digest);
        rule.bytesRead = best->section->sizeOfRawData;
        for (std::size_t i : best->tells)
            if (std::find(left.begin(), left.end(), i) != left.end()) rule.tells.push_back(i);
        rule.why = "reads the " + Bytes(rule.bytesRead) + " of section \"" + best->section->name +
                   "\" and the image's headers; no range the range rules can write tells the file from " +
                   Plural(rule.tells.size(), "other file", "other files") + ", this section does";
        for (std::size_t i : rule.tells) left.erase(std::find(left.begin(), left.end(), i));
        rules.push_back(std::move(rule));
    }
    return rules;
}

}  // namespace

Proof ProveList(const std::string& file, const std::vector<std::string>& others, const std::string& checkList) {
    Proof proof;
    proof.holdsForFile = Evaluate(file.c_str(), checkList.c_str(), LibraryKeywords(), nullptr);
    for (std::size_t i = 0; i < others.size(); ++i)
        if (Evaluate(others[i].c_str(), checkList.c_str(), LibraryKeywords(), nullptr)) proof.holdsForOthers.push_back(i);
    return proof;
}

namespace {

// Every file opens, or why no list can be made when the file or another
// cannot be opened: a file that is not there is told apart by nothing.
platform::Outcome EveryFileOpens(const std::string& file, const std::vector<std::string>& others) {
    for (std::size_t i = 0; i <= others.size(); ++i) {
        const std::string& name = i == 0 ? file : others[i - 1];
        const FileFacts facts = ProbeFile(name, kOpen);
        if (!facts.opened) return Reason{name + ": " + facts.whyNotOpened};
    }
    return platform::Done{};
}

// The size: no byte read, and every file of another size told apart; the
// files of its size are added to open.
SeparatingRule SizeRule(const std::string& file, const std::vector<std::string>& others, std::vector<bool>& told,
                        std::vector<std::size_t>& open) {
    const Keyword& row = *LibraryKeyword("FILESIZE");
    const std::string size = ValueOf(file, row, {}).value_or("");
    SeparatingRule rule{row.Entry({}, size), 0, {}, {}};
    for (std::size_t i = 0; i < others.size(); ++i) {
        if (ValueOf(others[i], row, {}).value_or("") != size) rule.tells.push_back(i);
        else open.push_back(i);
    }
    for (std::size_t i : rule.tells) told[i] = true;
    rule.why = "reads no byte (the size in the directory entry); ";
    if (rule.tells.empty()) rule.why += "every other file has its size, but a host stops here for any file of another size";
    else if (open.empty()) rule.why += "every other file has another size";
    else rule.why += "tells the file from " + Plural(rule.tells.size(), "other file", "other files") + " of another size";
    return rule;
}

// The whole file, for the files left; those of the same digest go to same.
std::optional<SeparatingRule> WholeFileRule(const std::string& file, const std::vector<std::string>& others,
                                            const std::vector<std::size_t>& left, std::uint64_t size,
                                            std::vector<std::size_t>& same) {
    const Keyword& row = *LibraryKeyword("MD5");
    const std::optional<std::string> md5 = ValueOf(file, row, {});
    SeparatingRule rule{row.Entry({}, md5.value_or("")), size, {}, {}};
    for (std::size_t i : left) (ValueOf(others[i], row, {}) != md5 ? rule.tells : same).push_back(i);
    rule.why = "reads all " + Bytes(size) + ": nothing smaller tells the file from " +
               Plural(rule.tells.size(), "other file", "other files");
    if (rule.tells.empty()) return std::nullopt;
    return rule;
}

std::string SameBytesProblem(const std::string& file, const std::vector<std::string>& others,
                             std::vector<std::size_t>& same) {
    std::sort(same.begin(), same.end());
    std::string names;
    for (std::size_t i : same) {
        if (!names.empty()) names += ", ";
        names += others[i];
    }
    return (same.size() == 1 ? names + " holds" : names + " hold") + " the same bytes as " + file +
           ": no check list can tell them apart";
}

// The rules joined into the list, which is then proved.
void ProveSeparation(const std::string& file, const std::vector<std::string>& others, Separation& s) {
    for (const SeparatingRule& r : s.rules) {
        if (!s.checkList.empty()) s.checkList += ',';
        s.checkList += QuoteEntry(r.entry);
        s.bytesRead += r.bytesRead;
    }
    const Proof proof = ProveList(file, others, s.checkList);
    if (proof.Proved()) return;
    s.problem = !proof.holdsForFile ? "the list made does not hold for " + file + " when checked"
                                    : "the list made holds for " + others[proof.holdsForOthers.front()] +
                                          " when checked (did a file change meanwhile?)";
    s.checkList.clear();
}

}  // namespace

Separation Separate(const std::string& file, const std::vector<std::string>& others, const SeparationLimits& limits) {
    Separation s;
    if (const platform::Outcome opened = EveryFileOpens(file, others); !opened) {
        s.problem = opened.failure().text;
        return s;
    }
    s.fileSize = ProbeFile(file, kOpen).size;
    std::vector<bool> told(others.size(), false);
    std::vector<std::size_t> open;
    const bool sizeRules = !HasWildcard(file);
    if (sizeRules) s.rules.push_back(SizeRule(file, others, told, open));
    else
        for (std::size_t i = 0; i < others.size(); ++i) open.push_back(i);

    // The bytes of the files left, against the file's.
    std::vector<Differences> diffs(others.size());
    if (!open.empty())
        if (const platform::Outcome compared = Compare(file, others, open, diffs); !compared) {
            s.problem = compared.failure().text;
            return s;
        }
    std::vector<std::size_t> differing;
    for (std::size_t i : open) (diffs[i].Any() ? differing : s.same).push_back(i);

    RangeChooser ranges(file, others, diffs, told, s.fileSize, sizeRules, limits);
    platform::Result<std::vector<SeparatingRule>, Reason> ranged = ranges.Choose(differing);
    if (!ranged) {
        s.problem = ranged.failure().text;
        return s;
    }
    for (SeparatingRule& r : *ranged) s.rules.push_back(std::move(r));

    std::vector<std::size_t> left;
    for (std::size_t i : differing)
        if (!told[i]) left.push_back(i);
    if (!left.empty())
        for (SeparatingRule& r : ChooseSections(file, others, left)) s.rules.push_back(std::move(r));
    if (!left.empty())
        if (std::optional<SeparatingRule> whole = WholeFileRule(file, others, left, s.fileSize, s.same))
            s.rules.push_back(std::move(*whole));
    if (!s.same.empty()) {
        s.problem = SameBytesProblem(file, others, s.same);
        return s;
    }
    ProveSeparation(file, others, s);
    return s;
}

}  // namespace ondrel::tool
