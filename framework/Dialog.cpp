// Dialog creation, the modal loop and the dialog procedure that routes messages to the tables.
#include "framework/Dialog.h"

#include "framework/Controls.h"

IMPLEMENT_RUNTIME_CLASS(CDialog, CWnd)

const MessageEntry CDialog::messageEntries[] = {
    {WM_INITDIALOG, 0, 0,
     [](CWnd& window, WPARAM, LPARAM) -> LRESULT {
         return static_cast<CDialog&>(window).InitialiseDialog();
     }},
    {WM_COMMAND, BN_CLICKED, IDOK,
     [](CWnd& window, WPARAM, LPARAM) -> LRESULT {
         static_cast<CDialog&>(window).OnOkCommand();
         return 0;
     }},
    {WM_COMMAND, BN_CLICKED, IDCANCEL,
     [](CWnd& window, WPARAM, LPARAM) -> LRESULT {
         static_cast<CDialog&>(window).OnCancelCommand();
         return 0;
     }},
};

const MessageTable CDialog::messageTable = MakeHandlerTable(&CWnd::messageTable, CDialog::messageEntries);

CDialog::~CDialog() { DestroyWindowNow(); }

bool CDialog::CreateModeless() {
    if (HasWindow()) return false;
    HINSTANCE instance = ModuleInstance();
    if (FindResourceA(instance, MAKEINTRESOURCEA(templateId_), RT_DIALOG) == nullptr) return false;
    EnsureCommonControls();
    ending_ = false;
    result_ = -1;
    HWND owner = parent_ != nullptr ? parent_->GetSafeHwnd() : nullptr;
    HWND hwnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId_), owner, &CDialog::DialogProcedure,
                                   reinterpret_cast<LPARAM>(this));
    // A dialog that could not be bound to this object is destroyed at once (DialogProcedure).
    return hwnd != nullptr && HasWindow();
}

INT_PTR CDialog::RunModal() {
    if (!CreateModeless()) return -1;
    HWND owner = parent_ != nullptr ? parent_->GetSafeHwnd() : nullptr;
    bool ownerDisabled = owner != nullptr && IsWindowEnabled(owner) && !EnableWindow(owner, FALSE);

    // The loop ends on EndDialog, when the window is gone by other means, or on WM_QUIT (which is
    // put back so that an outer loop sees it too).
    while (!ending_ && HasWindow()) {
        MSG msg;
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!IsDialogMessageA(hwnd_, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }

    // Enable the owner before the dialog goes, so that activation returns to it.
    if (ownerDisabled) EnableWindow(owner, TRUE);
    if (HasWindow()) {
        ShowWindow(hwnd_, SW_HIDE);
        DestroyWindowNow();
    }
    return result_;
}

void CDialog::EndDialog(INT_PTR result) noexcept {
    result_ = result;
    ending_ = true;
    // Wakes the modal loop in case the call came from a nested loop (a message box's).
    if (HasWindow()) PostMessageA(hwnd_, WM_NULL, 0, 0);
}

bool CDialog::UpdateData(bool saving) {
    ExchangeData(saving ? DataDirection::saving : DataDirection::loading);
    return true;
}

CText CDialog::GetItemText(int id) const {
    HWND item = GetDlgItem(hwnd_, id);
    if (item == nullptr) return CText();
    int length = GetWindowTextLengthA(item);
    if (length <= 0) return CText();
    CText text;
    char* buffer = text.GetBuffer(static_cast<size_t>(length) + 1);
    int copied = GetWindowTextA(item, buffer, length + 1);
    text.ReleaseBuffer(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

BOOL CDialog::InitialiseDialog() {
    UpdateData(false);
    return TRUE;
}

void CDialog::OnOkCommand() {
    if (!UpdateData(true)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancelCommand() { EndDialog(IDCANCEL); }

void CDialog::ExchangeData(DataDirection) {}

LRESULT CDialog::DefaultProcessing(UINT, WPARAM, LPARAM) {
    passToDefault_ = true;
    return 0;
}

LRESULT CDialog::OnHandlerFailure(UINT message, WPARAM, LPARAM) noexcept {
    if (message == WM_INITDIALOG) {
        EndDialog(-1);
        passToDefault_ = false;
        return FALSE;
    }
    // The default processing reads private numbers as its own DM_ messages (0x0401 sets the
    // default button): those count as handled.
    passToDefault_ = message < WM_USER;
    return 0;
}

INT_PTR CALLBACK CDialog::DialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        // Bind before anything else runs, so the handlers of the first message find the object.
        self = reinterpret_cast<CDialog*>(lParam);
        if (self != nullptr && !self->BindHandle(hwnd)) {
            // None of its handlers would ever run: no dialog is better than a dead one.
            DestroyWindow(hwnd);
            return FALSE;
        }
    } else {
        self = static_cast<CDialog*>(FromHandle(hwnd));
    }
    // Messages before WM_INITDIALOG (font, creation) get the platform's processing.
    if (self == nullptr) return FALSE;

    // A handler may itself run a nested loop that dispatches to this dialog; keep its own
    // hand-on request apart from theirs.
    bool outerRequest = self->passToDefault_;
    self->passToDefault_ = false;
    LRESULT result = self->DispatchGuarded(message, wParam, lParam);
    bool useDefault = self->passToDefault_;
    self->passToDefault_ = outerRequest;

    if (message == WM_NCDESTROY) {
        self->UnbindHandle();
        self->OnWindowGone();
        return FALSE;
    }
    if (useDefault) return FALSE;
    switch (message) {
    // These answer through the procedure's own return value, not DWLP_MSGRESULT.
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(result);
    default:
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
}
