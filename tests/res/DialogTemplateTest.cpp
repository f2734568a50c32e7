// The progress dialog's template as stored: header, font and every control in template order.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/res/ResourceBytes.h"

namespace {

// A name-or-number field of a template: empty when absent, "#n" for a number.
std::string ReadNameOrNumber(ByteCursor& cursor) {
    uint16_t first = cursor.U16();
    if (first == 0) return "";
    if (first == 0xFFFF) {
        uint16_t number = cursor.U16();
        switch (number) {  // the predefined classes are stored as numbers
        case 0x80: return "button";
        case 0x82: return "static";
        default: return "#" + std::to_string(number);
        }
    }
    cursor.Seek(cursor.offset() - 2);
    return cursor.Utf16();
}

std::string Lower(std::string text) {
    for (char& c : text) c = char(tolower(static_cast<unsigned char>(c)));
    return text;
}

struct TemplateItem {
    uint32_t helpId, exStyle, style;
    int16_t x, y, cx, cy;
    int32_t id;
    std::string className, text;
    uint16_t extraCount;
};

struct ExpectedItem {
    int32_t id;
    const char* className;
    const char* text;
    uint32_t style;
    int16_t x, y, cx, cy;
};

const ExpectedItem kControls[] = {
    {IDC_STATUS_TEXT, "static",
     "<Please wait while the information is\ntransferred over your TCP/IP connection.>",
     0x50020000, 57, 7, 136, 25},
    {IDC_ANIMATION, "sysanimate32", "Animate1", 0x50810005, 7, 7, 40, 40},
    {IDCANCEL, "button", "Cancel", 0x50010000, 143, 62, 50, 14},
    {IDOK, "button", "&OK", 0x40010000, 143, 62, 50, 14},
    {IDC_RETRY, "button", "&Retry", 0x40010000, 88, 62, 50, 14},
    {-1, "static", "", 0x50000010, 8, 54, 185, 1},
};

class DialogTemplate : public ::testing::Test {
protected:
    void SetUp() override {
        bytes_ = FindUsEnglishResource(RT_DIALOG, MAKEINTRESOURCEA(IDD_TRANSFER));
        ASSERT_NE(bytes_.data, nullptr) << "no US English template " << IDD_TRANSFER;
    }
    ResourceBytes bytes_;
};

TEST_F(DialogTemplate, HeaderAndFont) {
    ByteCursor cursor(bytes_.data, bytes_.size);
    EXPECT_EQ(cursor.U16(), 1u);        // extended template
    EXPECT_EQ(cursor.U16(), 0xFFFFu);
    EXPECT_EQ(cursor.U32(), 0u);        // help id
    EXPECT_EQ(cursor.U32(), 0x80u);     // WS_EX_TOOLWINDOW
    EXPECT_EQ(cursor.U32(), 0x90C00AC4u);
    EXPECT_EQ(cursor.U16(), 6u);
    EXPECT_EQ(cursor.S16(), 0);
    EXPECT_EQ(cursor.S16(), 0);
    EXPECT_EQ(cursor.S16(), 200);
    EXPECT_EQ(cursor.S16(), 96);
    EXPECT_EQ(ReadNameOrNumber(cursor), "");  // no menu
    EXPECT_EQ(ReadNameOrNumber(cursor), "");  // the default dialog class
    EXPECT_EQ(cursor.Utf16(), "Internet Connection");
    EXPECT_EQ(cursor.U16(), 8u);
    EXPECT_EQ(cursor.U16(), 0u);        // weight
    EXPECT_EQ(cursor.Read(1), 0u);      // not italic
    EXPECT_EQ(cursor.Read(1), 1u);      // DEFAULT_CHARSET
    EXPECT_EQ(cursor.Utf16(), "MS Sans Serif");
    EXPECT_FALSE(cursor.overrun());
}

TEST_F(DialogTemplate, ControlsInTemplateOrder) {
    ByteCursor cursor(bytes_.data, bytes_.size);
    cursor.Seek(16);
    uint16_t count = cursor.U16();
    cursor.Seek(26);
    ReadNameOrNumber(cursor);
    ReadNameOrNumber(cursor);
    cursor.Utf16();
    cursor.Seek(cursor.offset() + 6);
    cursor.Utf16();

    std::vector<TemplateItem> items;
    for (uint16_t i = 0; i < count && !cursor.overrun(); ++i) {
        cursor.AlignTo(4);
        TemplateItem item;
        item.helpId = cursor.U32();
        item.exStyle = cursor.U32();
        item.style = cursor.U32();
        item.x = cursor.S16();
        item.y = cursor.S16();
        item.cx = cursor.S16();
        item.cy = cursor.S16();
        item.id = int32_t(cursor.U32());
        item.className = Lower(ReadNameOrNumber(cursor));
        item.text = ReadNameOrNumber(cursor);
        item.extraCount = cursor.U16();
        cursor.Seek(cursor.offset() + item.extraCount);
        items.push_back(item);
    }
    ASSERT_FALSE(cursor.overrun());
    ASSERT_EQ(items.size(), sizeof kControls / sizeof kControls[0]);
    for (size_t i = 0; i < items.size(); ++i) {
        const ExpectedItem& want = kControls[i];
        const TemplateItem& got = items[i];
        SCOPED_TRACE("control " + std::to_string(i + 1) + " (id " + std::to_string(want.id) + ")");
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.className, want.className);
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.style, want.style);
        EXPECT_EQ(got.exStyle, 0u);
        EXPECT_EQ(got.helpId, 0u);
        EXPECT_EQ(got.extraCount, 0u);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
    }
}

}  // namespace
