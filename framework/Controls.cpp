// The status bar and animation wrappers, and the once-per-process common control start-up.
#include "framework/Controls.h"

#include <commctrl.h>

#include <utility>

IMPLEMENT_RUNTIME_CLASS(CStatusBarCtrl, CWnd)
IMPLEMENT_RUNTIME_CLASS(CAnimateCtrl, CWnd)

void EnsureCommonControls() noexcept {
    // The classes must be registered before a dialog template that names them is created, or the
    // dialog cannot be made at all.
    static const bool done = (InitCommonControls(), true);
    (void)done;
}

bool CStatusBarCtrl::Create(DWORD style, HWND parent, UINT id) {
    EnsureCommonControls();
    DestroyWindowNow();
    // The bar sizes and places itself along the parent's bottom edge: no rectangle needed.
    OwnedWindow bar(CreateWindowExA(0, STATUSCLASSNAMEA, "", style, 0, 0, 0, 0, parent,
                                    reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), ModuleInstance(),
                                    nullptr));
    if (!bar.valid()) return false;
    AdoptWindow(std::move(bar));
    return true;
}

bool CStatusBarCtrl::SetText(const char* text) {
    if (!HasWindow()) return false;
    return SendMessageA(hwnd_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

bool CAnimateCtrl::AttachToItem(HWND dialog, int id) noexcept {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) return false;
    Attach(control);
    return true;
}

bool CAnimateCtrl::Open(UINT clipId) {
    if (!HasWindow()) return false;
    return SendMessageA(hwnd_, ACM_OPENA, 0, reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(clipId))) != 0;
}
