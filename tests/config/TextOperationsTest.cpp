// The text operations over their listed examples, plus the cases where a careless version would
// loop, recurse deeply or change the caller's text.
#include "config/TextOperations.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CText T(const std::string& s) { return CText(s.data(), s.size()); }
std::string S(const CText& t) { return std::string(t.Data(), t.Length()); }

struct SearchRow {
    const char* text;
    const char* pattern;
    int caseSensitive;
    int expected;
};

TEST(TextOperations, ContainsAndEqualsHonourTheCaseFlag) {
    const SearchRow contains[] = {
        {"Network", "work", 1, 1},  {"Network", "WORK", 1, 0}, {"Network", "WORK", 0, 1},
        {"ab", "abc", 1, 0},        {"", "a", 1, 0},           {"abc", "", 1, 0},
        {"a=b", "=", 1, 1},         {"xyz", "z", 0, 1},        {"sErVeR", "server", 0, 1},
    };
    for (const SearchRow& row : contains) {
        SCOPED_TRACE(std::string(row.text) + " / " + row.pattern);
        EXPECT_EQ(ContainsText(row.text, row.pattern, row.caseSensitive), row.expected);
    }
    const SearchRow equals[] = {
        {"Port", "PORT", 0, 1}, {"Port", "PORT", 1, 0}, {"Port", "Port ", 0, 0},
        {"", "", 1, 1},         {"", "", 0, 1},         {"a b", "A B", 0, 1},
    };
    for (const SearchRow& row : equals) {
        SCOPED_TRACE(std::string(row.text) + " / " + row.pattern);
        EXPECT_EQ(EqualsText(row.text, row.pattern, row.caseSensitive), row.expected);
    }
}

TEST(TextOperations, CaseFoldingLeavesTheCallersTextAlone) {
    CText original("lower case");
    CText alias(original); // shares the buffer that a careless upper-casing would write through
    EXPECT_EQ(ContainsText(original, "CASE", 0), 1);
    EXPECT_EQ(EqualsText(original, "LOWER CASE", 0), 1);
    EXPECT_EQ(original, "lower case");
    EXPECT_EQ(alias, "lower case");
}

TEST(TextOperations, CuttingAtTheFirstSeparator) {
    struct Row {
        const char* text;
        const char* separator;
        const char* before;
        const char* after;
    } rows[] = {
        {"k=a=b", "=", "k", "a=b"}, {"key", "=", "key", ""}, {"=v", "=", "", "v"},
        {"k=", "=", "k", ""},       {"", "=", "", ""},       {"x", "", "x", ""},
        {"a\\\\b", "\\\\", "a", "b"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.text) + " / " + row.separator);
        EXPECT_EQ(S(TextBefore(row.text, row.separator)), row.before);
        EXPECT_EQ(S(TextAfter(row.text, row.separator)), row.after);
    }
}

TEST(TextOperations, TextBetweenBrackets) {
    struct Row {
        const char* text;
        const char* expected;
    } rows[] = {
        {"[Network]", "Network"}, {"x[a]b[c]", "a"}, {"Network]", ""},  {"[Network", "Network"},
        {"]a[b]", "b"},           {"[]", ""},        {"[[a]]", "[a"},   {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(S(TextBetween(row.text, "[", "]")), row.expected);
    }
}

TEST(TextOperations, TrimmingAndReversing) {
    struct Row {
        std::string text;
        std::string trimmed;
        std::string reversed;
    } rows[] = {
        {" \t\n\v\f\rab c\r\n ", "ab c", " \n\rc ba\r\f\v\n\t "},
        {"   ", "", "   "},
        {"", "", ""},
        {"a", "a", "a"},
        {"\xa0x\x85", "\xa0x\x85", "\x85x\xa0"}, // no byte from 0x80 up is white space
        {std::string("a\0b ", 4), std::string("a\0b", 3), std::string(" b\0a", 4)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(S(TrimText(T(row.text))), row.trimmed);
        EXPECT_EQ(S(ReverseText(T(row.text))), row.reversed);
    }
}

TEST(TextOperations, PrefixAndSuffixLoseAtMostOneCopy) {
    struct Row {
        const char* text;
        const char* affix;
        const char* withoutPrefix;
        const char* withoutSuffix;
    } rows[] = {
        {"\\\\x\\\\", "\\", "\\x\\\\", "\\\\x\\"},
        {"dir", "\\", "dir", "dir"},
        {"\\", "\\", "", ""},
        {"", "\\", "", ""},
        {"abab", "ab", "ab", "ab"},
        {"bab", "ab", "bab", "b"},
        {"x", "", "x", "x"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.text) + " / " + row.affix);
        EXPECT_EQ(S(RemovePrefix(row.text, row.affix)), row.withoutPrefix);
        EXPECT_EQ(S(RemoveSuffix(row.text, row.affix)), row.withoutSuffix);
    }
}

struct ReplaceRow {
    const char* text;
    const char* pattern;
    const char* replacement;
    int caseSensitive;
    const char* expected;
};

TEST(TextOperations, ReplaceRepeatedlySearchesAgainFromTheStart) {
    const ReplaceRow rows[] = {
        {"aaaa", "aa", "a", 1, "a"},
        {"a\\\\\\\\\\b\\\\", "\\\\", "\\", 1, "a\\b\\"},
        {"a:b", ":", ":\\", 1, "a:b"}, // the replacement holds the pattern: unchanged
        {"aabb", "ab", "", 1, ""},     // removing one occurrence makes the next
        {"aab", "ab", "b", 1, "b"},    // a match reaching back into what came before
        {"abb", "ab", "a", 1, "a"},
        {"aabb", "ab", "ba", 1, "bbaa"}, // as long as the pattern
        {"xAAaX", "aa", "a", 0, "xaX"},
        {"xAAaX", "aa", "a", 1, "xAAaX"},
        {"abc", "", "x", 1, "abc"},
        {"", "a", "", 1, ""},
    };
    for (const ReplaceRow& row : rows) {
        SCOPED_TRACE(std::string(row.text) + " / " + row.pattern + " / " + row.replacement);
        EXPECT_EQ(S(ReplaceRepeatedly(row.text, row.pattern, row.replacement, row.caseSensitive)), row.expected);
    }
}

TEST(TextOperations, ReplaceAllReplacesEachOccurrenceOnce) {
    const ReplaceRow rows[] = {
        {"aaaa", "aa", "a", 1, "aa"},
        {"aaa", "aa", "b", 1, "ba"},
        {"a:b:c", ":", ":\\", 1, "a:\\b:\\c"},
        {":", ":", ":\\", 1, ":\\"},
        {"abc", "x", "y", 1, "abc"},
        {"xAxa", "a", "b", 0, "xbxb"},
        {"xAxa", "a", "b", 1, "xAxb"},
        {"abc", "", "x", 1, "abc"},
        {"", "a", "b", 1, ""},
    };
    for (const ReplaceRow& row : rows) {
        SCOPED_TRACE(std::string(row.text) + " / " + row.pattern + " / " + row.replacement);
        EXPECT_EQ(S(ReplaceAll(row.text, row.pattern, row.replacement, row.caseSensitive)), row.expected);
    }
}

TEST(TextOperations, LongTextsAreReplacedWithoutDeepRecursionOrQuadraticWork) {
    const size_t n = 1u << 20;
    CText colons(std::string(n, ':').c_str());
    CText rooted = ReplaceAll(colons, ":", ":\\", 1);
    ASSERT_EQ(rooted.Length(), 2 * n);
    EXPECT_EQ(rooted.Left(4), ":\\:\\");

    CText run(("x" + std::string(n, '\\') + "y").c_str());
    EXPECT_EQ(ReplaceRepeatedly(run, "\\\\", "\\", 1), "x\\y");

    // A rewrite that does not shrink the text is stopped after a bounded number of passes rather
    // than left to run for as long as the pattern keeps reappearing.
    CText grows = ReplaceRepeatedly(CText((std::string(3000, 'a') + std::string(3000, 'b')).c_str()), "ab", "ba", 1);
    EXPECT_EQ(grows.Length(), 6000u);
}

} // namespace
