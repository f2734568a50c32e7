// The text and path operations under the real ANSI code page: CharUpperA folding beyond A to Z,
// and double-byte characters whose trail byte is a backslash. Each test runs only where the
// process's code page is the one it is written for.
#include "config/PathOperations.h"
#include "config/ProfileReader.h"
#include "config/TextOperations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <windows.h>

namespace {

std::string S(const CText& t) { return std::string(t.Data(), t.Length()); }

// PARVOLET_REQUIRE_CODE_PAGE turns a skip for a missing code page into a failure, for the run that
// sets the locale on purpose.
bool CodePageIs(UINT codePage) {
    if (GetACP() == codePage) return true;
    const char* required = std::getenv("PARVOLET_REQUIRE_CODE_PAGE");
    if (required != nullptr && std::strtoul(required, nullptr, 10) == codePage) {
        ADD_FAILURE() << "the code page is " << GetACP() << ", not " << codePage;
    }
    return false;
}

TEST(WesternCodePage, NamesFoldBeyondAToZ) {
    if (!CodePageIs(1252)) GTEST_SKIP() << "needs the ANSI code page 1252";
    EXPECT_EQ(EqualsText("caf\xe9", "CAF\xc9", 0), 1);
    EXPECT_EQ(EqualsText("caf\xe9", "CAF\xc9", 1), 0);
    EXPECT_EQ(ContainsText("[R\xe9seau]", "\xc9S", 0), 1);
    EXPECT_EQ(S(SectionNameOf("[ R\xe9seau ]")), "R\xe9seau");
    EXPECT_EQ(EqualsText(SectionNameOf("[R\xc9SEAU]"), "r\xe9seau", 0), 1);
}

// In code page 932, 0x95 0x5C is one character whose second byte is a backslash.
#define KANJI "\x95\x5c"

TEST(DoubleByteCodePage, TrailBytesAreNeverSeparators) {
    if (!CodePageIs(932)) GTEST_SKIP() << "needs the ANSI code page 932";
    EXPECT_EQ(ContainsText(KANJI, "\\", 1), 0);
    EXPECT_EQ(S(TextBefore("a" KANJI "\\b", "\\")), "a" KANJI);
    EXPECT_EQ(S(TextAfter("a" KANJI "\\b", "\\")), "b");
    EXPECT_EQ(S(ReverseText("a" KANJI "b")), "b" KANJI "a");
    EXPECT_EQ(S(ReplaceRepeatedly(KANJI "\\x", "\\\\", "\\", 1)), KANJI "\\x");
    EXPECT_EQ(S(ReplaceAll(KANJI "\\x", "\\\\", "\\", 1)), KANJI "\\x");
    EXPECT_EQ(S(RemoveSuffix("C:" KANJI, "\\")), "C:" KANJI);

    struct Row {
        const char* path;
        const char* directory;
    } rows[] = {
        {"C:\\" KANJI "\\run.exe", "C:\\" KANJI},
        {"C:\\" KANJI, "C:"},
        {"C:\\dir" KANJI "run.exe", "C:"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(S(GetDirectoryPart(row.path)), row.directory);
    }
    EXPECT_EQ(S(JoinPath("C:\\" KANJI, "Parvolet.ini")), "C:\\" KANJI "\\Parvolet.ini");
    CText path("C:\\" KANJI "\\");
    NormalizePath(path);
    EXPECT_EQ(S(path), "C:\\" KANJI);
}

} // namespace
