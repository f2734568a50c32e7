// The program's icon group and version block, as the shell reads them from the shipped executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "res/resource.h"
#include "version.h"  // written by CMake into the build tree's res/
#include "tests/res/ResourceBytes.h"

namespace {

TEST(ProgramIcon, GroupHoldsOneSixteenColourImage) {
    ResourceBytes group = FindUsEnglishResource(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_PROGRAM));
    ASSERT_NE(group.data, nullptr);
    ASSERT_EQ(group.size, 6u + 14u);
    ByteCursor cursor(group.data, group.size);
    EXPECT_EQ(cursor.U16(), 0u);
    EXPECT_EQ(cursor.U16(), 1u);       // icons, not cursors
    EXPECT_EQ(cursor.U16(), 1u);       // one image
    EXPECT_EQ(cursor.Read(1), 32u);
    EXPECT_EQ(cursor.Read(1), 32u);
    EXPECT_EQ(cursor.Read(1), 16u);    // colours
    EXPECT_EQ(cursor.Read(1), 0u);
    EXPECT_EQ(cursor.U16(), 1u);       // planes
    EXPECT_EQ(cursor.U16(), 4u);       // bits a pixel
    EXPECT_EQ(cursor.U32(), 744u);
    EXPECT_EQ(cursor.U16(), 1u);       // icon id

    ResourceBytes image = FindUsEnglishResource(RT_ICON, MAKEINTRESOURCEA(1));
    ASSERT_NE(image.data, nullptr);
    ASSERT_EQ(image.size, 744u);
    const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(image.data);
    EXPECT_EQ(info->biSize, 40u);
    EXPECT_EQ(info->biWidth, 32);
    EXPECT_EQ(info->biHeight, 64);     // image and mask
    EXPECT_EQ(info->biBitCount, 4);
    EXPECT_EQ(info->biCompression, DWORD(BI_RGB));

    // The system must be able to make an icon of it, and pick it from the group.
    int chosen = LookupIconIdFromDirectoryEx(const_cast<PBYTE>(group.data), TRUE, 32, 32, 0);
    EXPECT_EQ(chosen, 1);
    HICON icon = CreateIconFromResourceEx(const_cast<PBYTE>(image.data), image.size, TRUE,
                                          0x00030000, 32, 32, 0);
    EXPECT_NE(icon, nullptr) << GetLastError();
    if (icon) DestroyIcon(icon);
}

class VersionBlock : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = ShippedExePath();
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeA(path, &ignored);
        ASSERT_GT(size, 0u) << GetLastError();
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, &block_[0])) << GetLastError();
    }
    std::string block_;
};

TEST_F(VersionBlock, FixedPart) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(&block_[0], "\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    // The project's version, major.minor.patch.0, in both numbers.
    const DWORD high = (PARVOLET_VERSION_MAJOR << 16) | PARVOLET_VERSION_MINOR;
    const DWORD low = PARVOLET_VERSION_PATCH << 16;
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, DWORD(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
}

TEST_F(VersionBlock, UsEnglishUnicodeStrings) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(&block_[0], "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(static_cast<const WORD*>(value)[0], 0x0409);
    EXPECT_EQ(static_cast<const WORD*>(value)[1], 0x04B0);

    struct Entry {
        const char* key;
        const char* text;  // null: present, value of our choosing
    };
    const Entry kEntries[] = {
        {"CompanyName", nullptr},      {"FileDescription", nullptr},
        {"FileVersion", PARVOLET_VERSION_TEXT},      {"InternalName", nullptr},
        {"LegalCopyright", nullptr},   {"OriginalFilename", "parvolet.exe"},
        {"ProductName", "Parvolet"},   {"ProductVersion", PARVOLET_VERSION_TEXT},
    };
    for (const Entry& entry : kEntries) {
        std::string path = std::string("\\StringFileInfo\\040904B0\\") + entry.key;
        ASSERT_TRUE(VerQueryValueA(&block_[0], path.c_str(), &value, &length)) << entry.key;
        std::string text(static_cast<const char*>(value));
        if (entry.text) {
            EXPECT_EQ(text, entry.text) << entry.key;
        } else {
            EXPECT_FALSE(text.empty()) << entry.key;
        }
    }
}

TEST(VersionResource, IsUsEnglish) {
    EXPECT_NE(FindUsEnglishResource(RT_VERSION, MAKEINTRESOURCEA(VS_VERSION_INFO)).data, nullptr);
}

}  // namespace
