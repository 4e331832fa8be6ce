// The directory search's wildcard match against a plain reference: the set of
// pattern positions run densely over the name, every position looked at for
// every character. The matcher holds only the live positions, makes runs of
// "*" one, refuses names shorter than the characters the pattern needs and
// drops positions that a later "*" stands for; none of that may change an
// answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wildcard.h"
#include "tests/support/test_files.h"

namespace {

using ondrel::platform::MatchesWildcard;
using ondrel::platform::WildcardMatcher;

// The rules of wildcard.h, position by position: time name x pattern.
bool ReferenceMatch(std::string_view pattern, std::string_view name) {
    const std::size_t m = pattern.size();
    std::vector<bool> live(m + 1), next(m + 1);
    live[0] = true;
    for (std::size_t j = 0; j <= name.size(); ++j) {
        const bool ended = j == name.size();
        const char c = ended ? '\0' : name[j];
        // Positions reached without taking a character; all lie ahead.
        for (std::size_t i = 0; i < m; ++i) {
            if (!live[i]) continue;
            const char p = pattern[i];
            if (p == '*') {
                live[i + 1] = true;
            } else if (p == '?' && (ended || c == '.')) {
                std::size_t k = i;
                while (k < m && pattern[k] == '?') ++k;
                live[k] = true;
            } else if (p == '.' && ended && (i + 1 == m || pattern[i + 1] == '*' || pattern[i + 1] == '?')) {
                live[i + 1] = true;
            }
        }
        if (ended) break;
        std::fill(next.begin(), next.end(), false);
        for (std::size_t i = 0; i < m; ++i) {
            if (!live[i]) continue;
            const char p = pattern[i];
            if (p == '*') next[i] = true;
            else if ((p == '?' && c != '.') || p == c) next[i + 1] = true;
        }
        live.swap(next);
    }
    return live[m];
}

// Every text of up to maxLength characters of the alphabet.
std::vector<std::string> AllTexts(std::string_view alphabet, std::size_t maxLength) {
    std::vector<std::string> texts{""};
    for (std::size_t from = 0; from < texts.size(); ++from)
        if (texts[from].size() < maxLength)
            for (char c : alphabet) texts.push_back(texts[from] + c);
    return texts;
}

// One matcher per pattern, run over every name in turn: what one name leaves
// behind must not change the next one's answer.
void ExpectAgreement(const std::vector<std::string>& patterns, const std::vector<std::string>& names) {
    for (const std::string& pattern : patterns) {
        WildcardMatcher matcher(pattern);
        int failures = 0;
        for (const std::string& name : names) {
            const bool expected = ReferenceMatch(pattern, name);
            if (matcher.Match(name) != expected) {
                ADD_FAILURE() << "pattern \"" << pattern << "\" name \"" << name << "\": expected " << expected;
                if (++failures == 5) return;
            }
        }
    }
}

TEST(WildcardMatcher, AgreesWithTheReferenceOnEveryShortPatternAndName) {
    const std::vector<std::string> patterns = AllTexts("ab.*?", 5);
    const std::vector<std::string> names = AllTexts("ab.*?", 4);
    ASSERT_EQ(patterns.size(), 3906u);
    ASSERT_EQ(names.size(), 781u);
    ExpectAgreement(patterns, names);
}

// Longer texts, drawn: runs of "*" and "?", several dots, names longer and
// shorter than the pattern needs.
TEST(WildcardMatcher, AgreesWithTheReferenceOnDrawnPatternsAndNames) {
    std::mt19937 random(20240611u);
    auto draw = [&](std::string_view alphabet, std::size_t maxLength) {
        std::string text(std::uniform_int_distribution<std::size_t>(0, maxLength)(random), ' ');
        for (char& c : text) c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
        return text;
    };
    for (int round = 0; round < 40; ++round) {
        std::vector<std::string> patterns, names;
        for (int i = 0; i < 50; ++i) patterns.push_back(draw("ab.**??", 16));
        for (int i = 0; i < 400; ++i) names.push_back(draw(i % 2 ? "ab." : "aab..*?", 18));
        ExpectAgreement(patterns, names);
    }
}

std::string Repeat(std::string_view piece, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
}

struct MatchCase {
    const char* name;
    std::string pattern;
    std::string file;
    bool matches;
};

class WildcardRows : public ::testing::TestWithParam<MatchCase> {};

TEST_P(WildcardRows, MatchAsTheRulesSay) {
    const MatchCase& row = GetParam();
    EXPECT_EQ(ReferenceMatch(row.pattern, row.file), row.matches);
    EXPECT_EQ(MatchesWildcard(row.pattern, row.file), row.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Shortcuts, WildcardRows,
    ::testing::Values(
        // A run of "*" is one "*", beside the "." and "?" that may match nothing.
        MatchCase{"StarRunDotStarRunFindsNameWithoutDot", "A**.**", "A", true},
        MatchCase{"StarRunThenQuestionMarksAtTheDot", "A**??.TXT", "A.TXT", true},
        MatchCase{"QuestionMarksThenStarRunAtTheEnd", "A??**", "A", true},
        MatchCase{"StarRunKeepsTheOrder", "**B**A**", "AB", false},
        // Only what must take a character counts against the name's length.
        MatchCase{"OptionalDotAndQuestionMarksNeedNothing", "AB.??", "AB", true},
        MatchCase{"DotBeforeALetterNeedsACharacter", "AB.C", "AB.", false},
        MatchCase{"QuestionMarksBeforeALetterTakeCharacters", "??A", "XYA", true},
        MatchCase{"QuestionMarksBeforeALetterAreNotSkipped", "??A", "A", false},
        MatchCase{"JustLongEnough", Repeat("A*", 40) + "B", Repeat("A", 40) + "B", true},
        MatchCase{"OneShort", Repeat("A*", 40) + "B", Repeat("A", 39) + "B", false},
        // Long patterns that once cost name x pattern on every name.
        MatchCase{"ManyStars", Repeat("*", 4000) + "B", "NAME-0001.B", true},
        MatchCase{"ManyStarsNoMatch", Repeat("*", 4000) + "B", "NAME-0001.TXT", false},
        MatchCase{"ManyLetterStars", Repeat("A*", 2000) + "B", Repeat("A", 2000) + "B", true},
        MatchCase{"StarQuestionMarkPairs", Repeat("*?", 2000) + "X", "NAME-0001.TXT", false},
        MatchCase{"StarQuestionMarkPairsSkippedAtTheDot", Repeat("*?", 2000) + ".X", "NAME.X", true},
        MatchCase{"LastQuestionMarkTakesACharacterAfterTheDot", Repeat("*?", 2000) + "X", "NAME.X", false},
        MatchCase{"StarQuestionMarkPairsNeedADotOrTheirCharacters", Repeat("*?", 2000) + "X", "X", false},
        MatchCase{"StarQuestionMarkPairsAtTheEnd", Repeat("*?", 2000), "NAME-0001.TXT", true},
        MatchCase{"DotStarPairsAtTheEnd", "N" + Repeat(".*", 2000), "N", true}),
    ondrel::testing::CaseName());

}  // namespace
