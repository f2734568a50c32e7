// Path texts: any name Windows allows comes back whole, and messages show one '?' per character
// the code page lacks. The characters used here are in no ANSI code page.
#include "framework/PathText.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

TEST(PathText, EveryNameComesBackWholeAndShowsOneMarkPerMissingCharacter) {
    // A '?' of the name itself and text that looks like a mark; a character beyond 16 bits.
    const wchar_t name[] = L"C:\\a?0041 \xD83D\xDE00\\x.txt";
    CText text = platform::PathTextFromWide(name, std::wcslen(name));
    std::wstring back;
    ASSERT_TRUE(platform::WideFromPathText(text, back));
    EXPECT_EQ(std::wstring(name), back);
    EXPECT_EQ(CText("C:\\a?0041 ?\\x.txt"), platform::ShownPath(text));

    // A plain ANSI text reads as the ANSI calls read it, a '?' that marks nothing included.
    ASSERT_TRUE(platform::WideFromPathText("C:\\a?b\\?12", back));
    EXPECT_EQ(std::wstring(L"C:\\a?b\\?12"), back);
}

} // namespace
