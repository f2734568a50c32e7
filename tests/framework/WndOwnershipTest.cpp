// Window objects own the windows they make and only borrow the ones they attach to: a dialog's
// controls belong to the dialog and must outlive any wrapper bound to them.
#include "framework/Controls.h"
#include "framework/Wnd.h"

#include <commctrl.h>
#include <gtest/gtest.h>

namespace {

constexpr int kControlId = 1000;

// A hidden top-level framework window with one animation control, made the way a dialog's
// template makes its controls (not by any wrapper).
class ParentWindow : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureCommonControls();
        ASSERT_TRUE(parent_.CreateFrameworkWindow(0, "", WS_POPUP, 0, 0, 200, 200, nullptr, nullptr));
        control_ = CreateWindowExA(0, ANIMATE_CLASSA, "", WS_CHILD, 0, 0, 80, 80, parent_.GetSafeHwnd(),
                                   reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kControlId)),
                                   ModuleInstance(), nullptr);
        ASSERT_NE(control_, nullptr);
    }

    CWnd parent_;
    HWND control_ = nullptr;
};

TEST_F(ParentWindow, AnAttachedControlOutlivesItsWrapper) {
    {
        CAnimateCtrl animation;
        ASSERT_TRUE(animation.AttachToItem(parent_.GetSafeHwnd(), kControlId));
        EXPECT_EQ(control_, animation.GetSafeHwnd());
        // An explicit request lets go of a borrowed window too, without destroying it.
        animation.DestroyWindowNow();
        EXPECT_TRUE(IsWindow(control_));
        EXPECT_EQ(nullptr, animation.GetSafeHwnd());
        ASSERT_TRUE(animation.AttachToItem(parent_.GetSafeHwnd(), kControlId));
    }
    EXPECT_TRUE(IsWindow(control_));
    {
        CWnd plain;
        plain.Attach(control_);
    }
    EXPECT_TRUE(IsWindow(control_));
    EXPECT_EQ(control_, GetDlgItem(parent_.GetSafeHwnd(), kControlId));
}

TEST_F(ParentWindow, CreatedWindowsGoWithTheirObjects) {
    HWND bar = nullptr;
    {
        CStatusBarCtrl statusBar;
        ASSERT_TRUE(statusBar.Create(WS_CHILD, parent_.GetSafeHwnd(), 1001));
        bar = statusBar.GetSafeHwnd();
        ASSERT_TRUE(IsWindow(bar));
    }
    EXPECT_FALSE(IsWindow(bar));

    HWND own = nullptr;
    {
        CWnd window;
        ASSERT_TRUE(window.CreateFrameworkWindow(0, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
        own = window.GetSafeHwnd();
        EXPECT_EQ(&window, CWnd::FromHandle(own));
    }
    EXPECT_FALSE(IsWindow(own));
    EXPECT_TRUE(IsWindow(control_)); // the parent's own child was never touched
}

TEST_F(ParentWindow, ADetachedWindowIsTheCallersAndNoLongerReachesTheObject) {
    HWND window = nullptr;
    {
        CWnd object;
        ASSERT_TRUE(object.CreateFrameworkWindow(0, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
        window = object.Detach();
        EXPECT_EQ(nullptr, object.GetSafeHwnd());
    }
    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(nullptr, CWnd::FromHandle(window));
    // Messages to it now get default processing, not a dead object's handlers.
    SendMessageA(window, WM_NULL, 0, 0);
    EXPECT_TRUE(DestroyWindow(window));
}

} // namespace
