#include "checks/ini_rule.h"

#include <cstring>

#include "checks/ascii.h"
#include "checks/rules.h"
#include "platform/find.h"
#include "platform/reader.h"

namespace ondrel {

namespace {

// What the candidates cost, about: a hash-table node with its record.
constexpr std::size_t kCandidateBytes = 96;
// At most this much of a line is read back to show where a value was found.
constexpr std::size_t kShownLine = 64 * 1024;

std::string_view Trim(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The line at offset, up to its break, the first NUL or kShownLine bytes.
std::string LineAt(platform::FileReader& file, std::uint64_t offset) {
    const std::uint64_t left = offset < file.Size() ? file.Size() - offset : 0;
    std::string line(static_cast<std::size_t>(std::min<std::uint64_t>(left, kShownLine)), '\0');
    if (!file.ReadAt(offset, line.data(), line.size())) return std::string();
    line.resize(std::min(line.find_first_of(std::string_view("\r\n\0", 3)), line.size()));
    return line;
}

}  // namespace

std::string DescribeIniMatch(platform::FileReader& file, const IniMatchAt& at) {
    const std::string header = LineAt(file, at.headerOffset);
    std::string_view section = Trim(header);
    if (section.size() >= 2) section = Trim(section.substr(1, section.size() - 2));
    const std::string line = LineAt(file, at.lineOffset);
    const std::string_view trimmed = Trim(line);
    const std::size_t equals = trimmed.find('=');
    std::string shown = "[";
    shown.append(section).append("] ");
    if (equals == std::string_view::npos) return shown.append(trimmed);
    return shown.append(Trim(trimmed.substr(0, equals))).append("=").append(Trim(trimmed.substr(equals + 1)));
}

void IniValueSearch::HeaderName::Byte(char c) {
    if (IsBlank(c)) {
        if (last) after.Add(c);  // blanks before the first byte of the name are trimmed
        return;
    }
    if (last) {
        // The byte before c, and the blanks before that byte, are inside the name.
        if (inner.hash.length()) hasher.FeedBlanks(inner.hash);
        hasher.Feed(std::string_view(&*last, 1));
        inner = after;
        after = BlankRun{};
    }
    last = c;
}

IniValueSearch::IniValueSearch(std::string_view ruleValue, std::uint32_t parts, std::uint32_t part,
                               std::size_t budget)
    : needle_(ruleValue), parts_(parts ? parts : 1), part_(part), budget_(budget) {
    AsciiUpper(needle_);
    // Set up in time linear in the needle.
    failure_.assign(needle_.size(), 0);
    for (std::size_t i = 1, k = 0; i < needle_.size(); ++i) {
        while (k > 0 && needle_[i] != needle_[k]) k = failure_[k - 1];
        if (needle_[i] == needle_[k]) ++k;
        failure_[i] = static_cast<std::uint32_t>(k);
    }
    StartLine();
}

bool IniValueSearch::InPart(const platform::PolynomialHash& name) const noexcept {
    return parts_ == 1 || name.Mix() % parts_ == part_;
}

void IniValueSearch::StartLine() {
    lineOffset_ = offset_;
    lineBegun_ = false;
    first_ = last_ = 0;
    equals_ = valueBegun_ = false;
    matched_ = 0;
    matchPending_ = valueHolds_ = searching_ = false;
    header_ = HeaderName{};
}

void IniValueSearch::Feed(std::string_view bytes) {
    if (ended_ || overflowed_) return;
    // The first NUL ends the text.
    if (const void* nul = std::memchr(bytes.data(), 0, bytes.size())) {
        bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
        ended_ = true;
    }
    // CR, LF and CR LF all end a line; the empty line between the bytes of a
    // CR LF pair is skipped like every empty line.
    while (!bytes.empty() && !overflowed_) {
        const std::size_t end = bytes.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            LineBytes(bytes);
            offset_ += bytes.size();
            break;
        }
        LineBytes(bytes.substr(0, end));
        offset_ += end + 1;
        EndLine();
        StartLine();
        bytes.remove_prefix(end + 1);
    }
    if (ended_) Finish();
}

void IniValueSearch::LineBytes(std::string_view piece) {
    std::size_t i = 0;
    if (!lineBegun_) {
        while (i < piece.size() && IsBlank(piece[i])) ++i;
        if (i == piece.size()) return;
        lineBegun_ = true;
        first_ = last_ = piece[i++];
        equals_ = first_ == '=';
        searching_ = !needle_.empty() && section_ && section_->inPart && !section_->matched;
    }
    if (first_ == ';') return;  // a comment
    if (first_ == '[') {
        // A header if it ends in "]"; else a line, perhaps a setting.
        for (; i < piece.size(); ++i) {
            const char c = piece[i];
            if (!IsBlank(c)) last_ = c;
            header_.Byte(c);
            if (!equals_) equals_ = c == '=';
            else if (searching_ && !valueHolds_) ValueByte(c);
        }
        return;
    }
    if (!searching_ || valueHolds_) return;  // nothing here can change the answer
    if (!equals_) {
        const std::size_t equals = piece.find('=', i);
        if (equals == std::string_view::npos) return;
        equals_ = true;
        i = equals + 1;
    }
    for (; i < piece.size() && !valueHolds_; ++i) ValueByte(piece[i]);
}

void IniValueSearch::ValueByte(char c) {
    const bool blank = IsBlank(c);
    if (!valueBegun_) {
        if (blank) return;  // blanks before the value are trimmed
        valueBegun_ = true;
    }
    // Blanks after the value are trimmed too: a match that ended among them
    // counts once a non-blank byte shows they were inside.
    if (!blank && matchPending_) {
        valueHolds_ = true;
        return;
    }
    const char u = AsciiUpper(c);
    std::size_t k = matched_;
    while (k > 0 && needle_[k] != u) k = failure_[k - 1];
    if (needle_[k] == u) ++k;
    if (k == needle_.size()) {
        if (!blank) {
            valueHolds_ = true;
            return;
        }
        matchPending_ = true;
        k = failure_[k - 1];
    }
    matched_ = static_cast<std::uint32_t>(k);
}

void IniValueSearch::EndLine() {
    if (!lineBegun_ || first_ == ';') return;
    if (first_ == '[' && header_.last == ']') {
        // A new section, even when one of that name exists already: it is
        // the last of its name now, and what an earlier one held no longer
        // counts.
        Section section;
        section.name = header_.hasher.Finish();
        section.inPart = InPart(section.name);
        section.order = sections_++;
        section.headerOffset = lineOffset_;
        if (section.inPart) candidates_.erase(section.name);
        section_ = section;
        return;
    }
    // Only values are searched, and only the first match of a section counts.
    if (!valueHolds_ || !section_ || !section_->inPart || section_->matched) return;
    section_->matched = true;
    candidates_[section_->name] = Candidate{section_->order, section_->headerOffset, lineOffset_};
    if (candidates_.size() * kCandidateBytes > budget_) overflowed_ = true;
}

void IniValueSearch::Finish() {
    if (!overflowed_) EndLine();
    StartLine();
    ended_ = true;
}

std::optional<IniMatchAt> IniValueSearch::Match() const {
    const Candidate* earliest = nullptr;
    for (const auto& [name, candidate] : candidates_)
        if (!earliest || candidate.order < earliest->order) earliest = &candidate;
    if (!earliest) return std::nullopt;
    return IniMatchAt{earliest->headerOffset, earliest->lineOffset};
}

std::optional<IniMatchAt> SearchIniFile(platform::FileReader& file, std::string_view ruleValue, std::size_t budget) {
    // One search of the whole text, unless the sections holding the fragment
    // outgrow the memory allowed: then the text is searched in parts.
    for (std::uint32_t parts = 1; parts != 0; parts *= 2) {
        bool overflowed = false;
        for (std::uint32_t part = 0; part < parts && !overflowed; ++part) {
            IniValueSearch search(ruleValue, parts, part, budget);
            const platform::RangeEnd end = file.ReadRange(0, file.Size(), [&](const unsigned char* data, std::size_t n) {
                search.Feed(std::string_view(reinterpret_cast<const char*>(data), n));
            });
            // A file that shrank since it was opened is read up to its new end.
            if (end == platform::RangeEnd::Failed) throw platform::FileReadError();
            search.Finish();
            overflowed = search.Overflowed();
            if (overflowed) continue;
            if (std::optional<IniMatchAt> at = search.Match()) return at;
        }
        if (!overflowed) break;
    }
    return std::nullopt;
}

bool FilePresent(const std::string& fileName) {
    std::optional<platform::DirectoryEntry> entry = platform::FindFirstEntry(fileName);
    return entry && !entry->isDirectory && entry->hasDosTime;
}

bool IniRule(const RuleContext& context, const std::string& value, RuleTrace& trace) {
    if (!FilePresent(context.fileName)) {
        trace.Set("no such file (or a directory, or last written outside 1980-2107)");
        return false;
    }
    platform::FileReader file = platform::FileReader::OpenOrThrow(context.fileName, platform::Share::Read);
    if (std::optional<IniMatchAt> at = SearchIniFile(file, value)) {
        trace.Set(DescribeIniMatch(file, *at));
        return true;
    }
    trace.Set("no value holds it");
    return false;
}

}  // namespace ondrel
