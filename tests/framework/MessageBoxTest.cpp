// The message box routine under Wine: the default icon, the caption, the help context while the
// box is up, and its owner. A watcher thread reads the box as it stands and then answers it.
#include "framework/MessageBox.h"
#include "framework/WinApp.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

TEST(MessageBoxStyle, ExclamationOnlyWithoutAnIconAndForCommonButtons) {
    struct Row {
        UINT style, shown;
    } rows[] = {
        {MB_OK, MB_OK | MB_ICONEXCLAMATION},
        {MB_OKCANCEL, MB_OKCANCEL | MB_ICONEXCLAMATION},
        {MB_YESNOCANCEL, MB_YESNOCANCEL | MB_ICONEXCLAMATION},
        {MB_YESNO, MB_YESNO | MB_ICONEXCLAMATION},
        {MB_ABORTRETRYIGNORE, MB_ABORTRETRYIGNORE},
        {MB_RETRYCANCEL, MB_RETRYCANCEL},
        {MB_ICONSTOP, MB_ICONSTOP},
        {MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2},
        {MB_OK | MB_DEFBUTTON2, MB_OK | MB_DEFBUTTON2 | MB_ICONEXCLAMATION},
    };
    for (const Row& row : rows) EXPECT_EQ(row.shown, MessageBoxStyleWithIcon(row.style)) << row.style;
}

// What the watcher saw of the box before it pressed the button.
struct Seen {
    std::string caption, text;
    HWND owner = nullptr;
    DWORD helpContext = 0;
    bool ownerEnabled = true;
    bool found = false;
};

class TestApp : public CWinApp {
public:
    TestApp() : CWinApp("Internet Connection") {}
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM found) {
    char cls[32] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    if (std::string(cls) == "#32770" && IsWindowVisible(hwnd) && GetDlgItem(hwnd, 0xFFFF) != nullptr) {
        *reinterpret_cast<HWND*>(found) = hwnd;
        return FALSE;
    }
    return TRUE;
}

// Finds the thread's box (a #32770 window of that caption), records it and presses button.
void Watch(DWORD threadId, TestApp& app, Seen& seen, WPARAM button) {
    for (int i = 0; i < 500 && !seen.found; ++i) {
        Sleep(10);
        HWND box = nullptr;
        EnumThreadWindows(threadId, FindBox, reinterpret_cast<LPARAM>(&box));
        if (box == nullptr) continue;
        char buffer[512] = "";
        GetWindowTextA(box, buffer, sizeof buffer);
        seen.caption = buffer;
        GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
        seen.text = buffer;
        seen.owner = GetWindow(box, GW_OWNER);
        seen.helpContext = app.HelpContext();
        seen.ownerEnabled = seen.owner == nullptr || IsWindowEnabled(seen.owner);
        seen.found = true;
        PostMessageA(box, WM_COMMAND, button, 0);
    }
}

int ShowWatched(TestApp& app, Seen& seen, WPARAM button, UINT id, UINT style, UINT helpId) {
    DWORD self = GetCurrentThreadId();
    std::thread watcher(Watch, self, std::ref(app), std::ref(seen), button);
    int result = ShowMessageBox(id, style, helpId);
    watcher.join();
    return result;
}

TEST(MessageBoxRoutine, LoadsTheTextSetsTheHelpContextAndHasNoOwnerAtStartUp) {
    TestApp app;
    app.SetHelpContext(0x1234);
    Seen seen;
    EXPECT_EQ(IDOK, ShowWatched(app, seen, IDOK, IDS_CONFIG_MISSING, MB_ICONSTOP, static_cast<UINT>(-1)));
    ASSERT_TRUE(seen.found);
    EXPECT_EQ("Internet Connection", seen.caption);
    EXPECT_EQ("The following file is missing,\nbut required to continue:\n\nPARVOLET.INI", seen.text);
    EXPECT_EQ(nullptr, seen.owner);
    EXPECT_EQ(0x30000u + IDS_CONFIG_MISSING, seen.helpContext); // -1 stands for the string id
    EXPECT_EQ(0x1234u, app.HelpContext());                      // restored afterwards

    Seen noHelp;
    EXPECT_EQ(IDOK, ShowWatched(app, noHelp, IDOK, IDS_FILE_NOT_FOUND, MB_ICONSTOP, 0));
    EXPECT_EQ(0x1234u, noHelp.helpContext); // help id 0 leaves the context alone
}

TEST(MessageBoxRoutine, OwnedByTheActiveWindowWhichIsEnabledAgainAfterwards) {
    TestApp app;
    HWND window = CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE, 10, 10, 100, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    SetActiveWindow(window);
    if (GetActiveWindow() != window) {
        DestroyWindow(window);
        GTEST_SKIP() << "the window could not be made active on this display";
    }
    Seen seen;
    EXPECT_EQ(IDYES, ShowWatched(app, seen, IDYES, IDS_CONFIRM_CANCEL, MB_YESNO | MB_ICONQUESTION, 0));
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(window, seen.owner);
    EXPECT_FALSE(seen.ownerEnabled); // modal to its owner while shown
    EXPECT_TRUE(IsWindowEnabled(window));
    DestroyWindow(window);
}

} // namespace
