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

TEST(PathText, LongNamesOpenInTheExtendedForm) {
    const std::wstring part(100, L'd');
    const std::wstring deep = L"C:\\" + part + L"\\" + part + L"\\" + part; // 304 characters
    const std::wstring share = L"\\\\host\\share\\" + part + L"\\" + part + L"\\" + part;
    const std::wstring at259 = L"C:\\" + std::wstring(256, L'x');
    const std::wstring at260 = at259 + L"y";
    struct Row {
        std::wstring name, full, expected;
    } rows[] = {
        {L"data.txt", L"C:\\work\\data.txt", L"data.txt"},                  // short: as typed
        {at259, at259, at259},                                                 // the last that Windows opens
        {at260, at260, L"\\\\?\\" + at260},
        {part + L"\\x.txt", deep + L"\\x.txt", L"\\\\?\\" + deep + L"\\x.txt"}, // relative: from the full name
        {L"C:/a/../" + part, deep, L"\\\\?\\" + deep},                          // resolved by the system first
        {share, share, L"\\\\?\\UNC\\host\\share\\" + part + L"\\" + part + L"\\" + part},
        {L"\\\\?\\" + deep, L"\\\\?\\" + deep, L"\\\\?\\" + deep},                 // already long-form
        {L"\\\\.\\" + deep, L"\\\\.\\" + deep, L"\\\\.\\" + deep},                 // a device name
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.expected.begin(), row.expected.end()).substr(0, 40));
        EXPECT_EQ(platform::ExtendedLengthName(row.name, row.full), row.expected);
    }
    // From the system's full name: "." and ".." resolved, '/' turned into '\\'.
    EXPECT_EQ(platform::OpenableName(L"C:/" + part + L"/./x/../" + part + L"/" + part),
              L"\\\\?\\" + deep);
    EXPECT_TRUE(platform::BeyondPlainPathLimit(at260));
    EXPECT_FALSE(platform::BeyondPlainPathLimit(at259));
    EXPECT_FALSE(platform::BeyondPlainPathLimit(L"\\\\?\\" + at260));
}

} // namespace
