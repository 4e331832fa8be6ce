#include "platform/wildcard.h"

namespace ondrel::platform {

namespace {

bool IsWild(char c) { return c == '*' || c == '?'; }

}  // namespace

WildcardMatcher::WildcardMatcher(std::string_view pattern) {
    pattern_.reserve(pattern.size());
    for (char c : pattern)
        if (c != '*' || pattern_.empty() || pattern_.back() != '*') pattern_ += c;
    const std::size_t m = pattern_.size();
    positions_.resize(m + 1);
    positions_[m].wildEnd = m;
    positions_[m].endCompletes = true;
    for (std::size_t i = m; i-- > 0;) {
        const char p = pattern_[i];
        Position& at = positions_[i];
        const Position& after = positions_[i + 1];
        // A "." that may match the end of the name.
        const bool optionalDot = p == '.' && (i + 1 == m || IsWild(pattern_[i + 1]));
        if (IsWild(p)) {
            at.wildEnd = after.wildEnd;
            at.lastStar = after.lastStar != kNone ? after.lastStar : p == '*' ? i : kNone;
        } else {
            at.wildEnd = i;
            if (!optionalDot) ++required_;
        }
        // At the end "*" and a run of "?" match nothing, and so does such a ".".
        at.endCompletes = (IsWild(p) || optionalDot) && after.endCompletes;
    }
    // At most every position is live at once: adding never reallocates.
    live_.reserve(m + 1);
    next_.reserve(m + 1);
}

void WildcardMatcher::Add(std::size_t position) {
    Position& at = positions_[position];
    if (at.added == step_) return;
    at.added = step_;
    live_.push_back(position);
    if (position < pattern_.size() && pattern_[position] == '*' && position > floor_) floor_ = position;
}

// Adds the positions reached without taking a character, before the
// character c. Runs of "*" are single, so a "*" reaches only the position
// after it; at a "." every "*" and "?" reach the end of their run of
// wildcards, and the last "*" in it, which stands for those before it. None
// of the positions added reaches further, so one pass over the positions
// live before suffices.
void WildcardMatcher::Close(char c) {
    const std::size_t count = live_.size();
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = live_[k];
        if (i < floor_ || i == pattern_.size()) continue;
        const char p = pattern_[i];
        if (c == '.') {
            if (!IsWild(p)) continue;
            const Position& at = positions_[i];
            if (at.lastStar != kNone) Add(at.lastStar);
            Add(at.wildEnd);
        } else if (p == '*') {
            Add(i + 1);
        }
    }
}

// Takes the character c: the positions live after it, false when none is.
bool WildcardMatcher::Step(char c) {
    live_.swap(next_);
    live_.clear();
    ++step_;
    for (const std::size_t i : next_) {
        if (i < floor_ || i == pattern_.size()) continue;
        const char p = pattern_[i];
        if (p == '*') Add(i);  // "*" takes the character and stays
        else if ((p == '?' && c != '.') || p == c) Add(i + 1);
    }
    return !live_.empty();
}

bool WildcardMatcher::Match(std::string_view name) {
    // Each step moves at most one position on.
    if (name.size() < required_) return false;
    live_.clear();
    floor_ = 0;
    ++step_;
    Add(0);
    for (const char c : name) {
        Close(c);
        if (!Step(c)) return false;
    }
    for (const std::size_t i : live_)
        if (positions_[i].endCompletes) return true;
    return false;
}

bool MatchesWildcard(std::string_view pattern, std::string_view name) { return WildcardMatcher(pattern).Match(name); }

}  // namespace ondrel::platform
