// The resources at run time: the progress dialog made from its template, and the clip decoded
// and played by a real animation control (read back from the screen).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

INT_PTR CALLBACK TrivialDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

void PumpMessages(DWORD milliseconds) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(5);
    } while (GetTickCount() - start < milliseconds);
}

std::string ClassOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    for (char* c = name; *c; ++c) *c = char(tolower(static_cast<unsigned char>(*c)));
    return name;
}

std::string TextOf(HWND window) {
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

struct ExpectedControl {
    int id;
    const char* className;
    const char* text;  // null: not compared (the animation control keeps no text)
    LONG style;
};

const ExpectedControl kControls[] = {
    {IDC_STATUS_TEXT, "static",
     "<Please wait while the information is\ntransferred over your TCP/IP connection.>",
     0x50020000},
    {IDC_ANIMATION, "sysanimate32", nullptr, 0x50810005},
    {IDCANCEL, "button", "Cancel", 0x50010000},
    {IDOK, "button", "&OK", 0x40010000},
    {IDC_RETRY, "button", "&Retry", 0x40010000},
    {-1, "static", "", 0x50000010},
};

TEST(ProgressDialogWindow, MadeFromTheTemplate) {
    InitCommonControls();
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_TRANSFER),
                                     nullptr, TrivialDialogProc, 0);
    ASSERT_NE(dialog, nullptr) << GetLastError();

    EXPECT_EQ(TextOf(dialog), "Internet Connection");
    LONG style = GetWindowLongA(dialog, GWL_STYLE);
    const LONG kWanted = WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME;
    EXPECT_EQ(style & kWanted, kWanted) << std::hex << style;
    EXPECT_EQ(style & WS_SYSMENU, 0) << "no system menu and no close box";
    EXPECT_NE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);

    // Children come in template order, which is also the tab order.
    HWND child = GetWindow(dialog, GW_CHILD);
    for (const ExpectedControl& want : kControls) {
        SCOPED_TRACE("control " + std::to_string(want.id));
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(int16_t(GetDlgCtrlID(child)), want.id);
        EXPECT_EQ(ClassOf(child), want.className);
        if (want.text) {
            EXPECT_EQ(TextOf(child), want.text);
        }
        // With DS_3DLOOK the dialog manager may trade a control's flat WS_BORDER for a sunken
        // client edge; either way the control must keep a border.
        LONG childStyle = GetWindowLongA(child, GWL_STYLE);
        EXPECT_EQ(childStyle & ~WS_BORDER, want.style & ~WS_BORDER) << std::hex << childStyle;
        if (want.style & WS_BORDER) {
            EXPECT_TRUE((childStyle & WS_BORDER) ||
                        (GetWindowLongA(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE));
        } else {
            EXPECT_EQ(childStyle & WS_BORDER, 0);
        }
        EXPECT_EQ(IsWindowVisible(child) != FALSE, (want.style & WS_VISIBLE) != 0);
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";
    EXPECT_TRUE(DestroyWindow(dialog));
}

constexpr int kClipSize = 80;

// The clip's pixels as the screen shows them, 0x00RRGGBB, top row first.
std::vector<DWORD> Capture(HWND window) {
    std::vector<DWORD> pixels;
    HDC screen = GetDC(window);
    if (!screen) return pixels;
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kClipSize;
    info.bmiHeader.biHeight = -kClipSize;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = memory ? CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0)
                            : nullptr;
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, kClipSize, kClipSize, screen, 0, 0, SRCCOPY)) {
            GdiFlush();
            const DWORD* first = static_cast<const DWORD*>(bits);
            pixels.assign(first, first + kClipSize * kClipSize);
            for (DWORD& pixel : pixels) pixel &= 0x00FFFFFF;
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    if (memory) DeleteDC(memory);
    ReleaseDC(window, screen);
    return pixels;
}

DWORD At(const std::vector<DWORD>& pixels, int x, int y) { return pixels[y * kClipSize + x]; }

// A borderless pop-up holding an 80 x 80 animation control at its origin.
class ClipPlayback : public ::testing::Test {
protected:
    void Open(DWORD controlStyle) {
        InitCommonControls();
        host_ = CreateWindowExA(WS_EX_TOOLWINDOW, "Static", "", WS_POPUP | WS_VISIBLE, 0, 0,
                                kClipSize, kClipSize, nullptr, nullptr, GetModuleHandleA(nullptr),
                                nullptr);
        ASSERT_NE(host_, nullptr) << GetLastError();
        control_ = CreateWindowExA(0, ANIMATE_CLASSA, "", WS_CHILD | WS_VISIBLE | controlStyle, 0,
                                   0, kClipSize, kClipSize, host_, nullptr,
                                   GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(control_, nullptr) << GetLastError();
        ASSERT_NE(SendMessageA(control_, ACM_OPENA, 0, IDR_CLIP), 0);
    }
    void TearDown() override {
        if (host_) DestroyWindow(host_);
    }
    std::vector<DWORD> ShowFrame(int frame) {
        SendMessageA(control_, ACM_PLAY, 1, MAKELPARAM(frame, frame));
        PumpMessages(150);
        return Capture(control_);
    }
    HWND host_ = nullptr;
    HWND control_ = nullptr;
};

TEST_F(ClipPlayback, FramesDecodeToThePicture) {
    Open(0);
    std::vector<DWORD> first = ShowFrame(0);
    ASSERT_EQ(first.size(), size_t(kClipSize * kClipSize));
    // Background at the top, floor at the bottom: the rows come out the right way up, in the
    // palette's colours, not as a grey or garbage frame.
    EXPECT_EQ(At(first, 1, 1), 0xECF0F6u);
    EXPECT_EQ(At(first, 78, 2), 0xECF0F6u);
    EXPECT_EQ(At(first, 2, 77), 0xD8DEE8u);
    EXPECT_EQ(At(first, 77, 77), 0xD8DEE8u);
    std::vector<DWORD> inFlight = ShowFrame(20);
    ASSERT_EQ(inFlight.size(), first.size());
    EXPECT_NE(first, inFlight);
    EXPECT_EQ(ShowFrame(0), first) << "the same frame must draw the same picture";
}

TEST_F(ClipPlayback, AutoplayKeepsThePictureMoving) {
    Open(ACS_AUTOPLAY);
    PumpMessages(300);
    std::vector<DWORD> early = Capture(control_);
    // A second apart is fifteen frames: the globe has turned and the sheet has moved.
    PumpMessages(1000);
    std::vector<DWORD> later = Capture(control_);
    ASSERT_EQ(early.size(), size_t(kClipSize * kClipSize));
    EXPECT_NE(early, later);
}

}  // namespace
