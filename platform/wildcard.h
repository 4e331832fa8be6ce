#pragma once
// The wildcard match of a directory search's last component, as
// FindFirstFileA matches it. The POSIX search runs it over each entry of the
// folder; Windows searches with the system's own. Plain code, built on every
// system.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel::platform {

// Matches names against one pattern, both already in one letter case:
//  - "*" matches any run of characters, the empty run too;
//  - "?" matches any one character but ".", and at a "." of the name or at
//    its end the rest of the run of "?" it stands in matches nothing
//    ("a.txt?" finds a.txt);
//  - a "." followed by "*" or "?", or ending the pattern, matches a "." or,
//    at the end of the name, nothing ("noext.*" and "*.*" find noext);
//  - any other character matches itself.
// The pattern is run as a set of positions over the name, a character at a
// time, holding only the live positions. Making the matcher costs pattern; a
// name then costs its length times the positions live at once, only those
// between the last "*" reached and the next one: a few in the common case,
// never more than pattern. A name shorter than the characters the pattern
// needs costs nothing. Memory is pattern; no recursion; only the constructor
// allocates.
class WildcardMatcher {
public:
    explicit WildcardMatcher(std::string_view pattern);

    bool Match(std::string_view name);

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    struct Position {
        std::size_t wildEnd = 0;        // the first position from here on that is neither "*" nor "?"
        std::size_t lastStar = kNone;   // the last "*" from here to wildEnd
        std::uint64_t added = 0;        // the step in which this position was last made live
        bool endCompletes = false;      // the end of the name, met here, completes the match
    };

    void Add(std::size_t position);
    void Close(char c);
    bool Step(char c);

    std::string pattern_;            // runs of "*" made one "*": they match the same
    std::size_t required_ = 0;       // characters of the pattern that each must take one of the name
    std::vector<Position> positions_;
    std::vector<std::size_t> live_;  // positions reached so far, each once
    std::vector<std::size_t> next_;
    std::uint64_t step_ = 0;
    // The last "*" reached. It stays live to the end, and whatever an earlier
    // position could still match it matches too (any path from there passes
    // it, and it may take the characters in between), so earlier positions
    // are dropped.
    std::size_t floor_ = 0;
};

// One name against one pattern, as WildcardMatcher matches.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

}  // namespace ondrel::platform
