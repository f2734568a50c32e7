// Thin wrappers of the two common controls the program uses: the status bar and the animation.
// One method per control message. A control the wrapper creates is its own and goes with it; one
// it attaches to belongs to the dialog and is never destroyed by the wrapper.
#pragma once

#include "framework/Wnd.h"

#include <windows.h>

// Registers the common control classes; safe to call any number of times from any thread.
void EnsureCommonControls() noexcept;

class CStatusBarCtrl : public CWnd {
    DECLARE_RUNTIME_CLASS(CStatusBarCtrl)
public:
    // Creates an empty status bar as child id of parent. False when the control cannot be made.
    bool Create(DWORD style, HWND parent, UINT id);
    // Sets the text of part 0 with default drawing. False without a window.
    bool SetText(const char* text);
};

class CAnimateCtrl : public CWnd {
    DECLARE_RUNTIME_CLASS(CAnimateCtrl)
public:
    // Borrows the dialog's control id. False when the dialog has no such control.
    bool AttachToItem(HWND dialog, int id) noexcept;
    // Opens the clip stored under the resource type "AVI" with this id in the program's module.
    bool Open(UINT clipId);
};
