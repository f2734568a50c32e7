// The message box routine every message of the program goes through.
#include "framework/MessageBox.h"

#include "framework/WinApp.h"
#include "res/resource.h"

namespace {
constexpr UINT kHelpContextBase = 0x30000;

// Restores the application's help context however the box ends.
class HelpContextScope {
public:
    HelpContextScope(CWinApp* app, UINT helpId) : app_(helpId != 0 ? app : nullptr) {
        if (app_ == nullptr) return;
        saved_ = app_->HelpContext();
        app_->SetHelpContext(kHelpContextBase + helpId);
    }
    ~HelpContextScope() {
        if (app_ != nullptr) app_->SetHelpContext(saved_);
    }
    HelpContextScope(const HelpContextScope&) = delete;
    HelpContextScope& operator=(const HelpContextScope&) = delete;

private:
    CWinApp* app_;
    DWORD saved_ = 0;
};
} // namespace

UINT MessageBoxStyleWithIcon(UINT style) noexcept {
    if ((style & MB_ICONMASK) != 0) return style;
    switch (style & MB_TYPEMASK) {
    case MB_OK:
    case MB_OKCANCEL:
    case MB_YESNOCANCEL:
    case MB_YESNO:
        return style | MB_ICONEXCLAMATION;
    default:
        return style;
    }
}

int ShowMessageBox(UINT stringId, UINT style, UINT helpId) {
    if (helpId == static_cast<UINT>(-1)) helpId = stringId;
    return ShowMessageBox(LoadResourceText(stringId), style, helpId);
}

int ShowMessageBox(const CText& text, UINT style, UINT helpId) {
    CWinApp* app = CWinApp::Current();
    HWND owner = app != nullptr ? app->MainWindow() : nullptr;
    if (owner == nullptr || !IsWindow(owner)) owner = GetActiveWindow();
    // A box owned by the window itself while one of its pop-ups is in front would open behind it.
    if (owner != nullptr) owner = GetLastActivePopup(owner);

    // Keep the rest of the owner's top-level window from taking input while the box is up.
    HWND disabled = nullptr;
    if (owner != nullptr) {
        HWND top = GetAncestor(owner, GA_ROOT);
        if (top != nullptr && top != owner && IsWindowEnabled(top)) {
            EnableWindow(top, FALSE);
            disabled = top;
        }
    }

    // Before the entry has loaded the title (or without an application object) load it here.
    CText caption = app != nullptr && !app->Title().IsEmpty() ? app->Title() : LoadResourceText(IDS_APP_TITLE);
    int result;
    {
        HelpContextScope help(app, helpId);
        result = MessageBoxA(owner, text.Data(), caption.Data(), MessageBoxStyleWithIcon(style));
    }
    if (disabled != nullptr) EnableWindow(disabled, TRUE);
    return result;
}
