// The progress dialog's handlers: initialisation, the progress states, the buttons, and the
// cancel question.
#include "transfer/TransferDialog.h"

#include "framework/MessageBox.h"
#include "framework/WinApp.h"
#include "res/resource.h"
#include "transfer/Frame.h"
#include "transfer/ProgressMessages.h"
#include "transfer/ProgressText.h"

IMPLEMENT_RUNTIME_CLASS(TransferDialog, CDialog)

namespace {

// WS_CHILD | WS_VISIBLE | WS_BORDER | CCS_BOTTOM | CCS_NODIVIDER: along the bottom edge, no grip.
constexpr DWORD kStatusBarStyle = 0x50800043;
// MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2: No is the answer Enter gives.
constexpr UINT kConfirmCancelStyle = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
// The amount line replaces "Transferring Information" only once state 1 has lasted this long.
constexpr UINT_PTR kAmountTimerId = 1;
constexpr UINT kAmountDelayMilliseconds = 1000;

} // namespace

const MessageEntry TransferDialog::messageEntries[] = {
    // The platform's own handling of these gives the focus to the control it remembered when the
    // dialog was last deactivated, or to the first tab stop (the animation): a late activation
    // after a state has focused its button would take the focus off that button.
    {WM_ACTIVATE, 0, 0,
     [](CWnd& window, WPARAM wParam, LPARAM lParam) -> LRESULT {
         auto& dialog = static_cast<TransferDialog&>(window);
         if (LOWORD(wParam) == WA_INACTIVE) {
             dialog.RememberButtonFocus();
         } else if (HIWORD(wParam) == 0 && dialog.RestoreButtonFocus()) {
             return 0;
         }
         return dialog.DefaultProcessing(WM_ACTIVATE, wParam, lParam);
     }},
    {WM_SETFOCUS, 0, 0,
     [](CWnd& window, WPARAM wParam, LPARAM lParam) -> LRESULT {
         auto& dialog = static_cast<TransferDialog&>(window);
         if (dialog.RestoreButtonFocus()) return 0;
         return dialog.DefaultProcessing(WM_SETFOCUS, wParam, lParam);
     }},
    {WM_CLOSE, 0, 0,
     [](CWnd& window, WPARAM, LPARAM) -> LRESULT {
         static_cast<TransferDialog&>(window).OnCloseRequest();
         return 0;
     }},
    // A Retry command can also come while Retry is hidden (posted, or a click queued behind the
    // one that started the transfer). A second worker would then refill the one request the
    // running worker is still reading, and its states would mix with the running one's.
    {WM_COMMAND, BN_CLICKED, IDC_RETRY,
     [](CWnd& window, WPARAM, LPARAM) -> LRESULT {
         auto& dialog = static_cast<TransferDialog&>(window);
         HWND retry = GetDlgItem(dialog.GetSafeHwnd(), IDC_RETRY);
         if (retry != nullptr && IsWindowEnabled(retry)) dialog.StartTransfer();
         return 0;
     }},
    // The number is also DM_SETDEFID, which the dialog may be sent on its own thread. Only the
    // worker's messages, queued from its thread without waiting, are progress.
    {PROGRESS_MESSAGE, 0, 0,
     [](CWnd& window, WPARAM state, LPARAM result) -> LRESULT {
         auto& dialog = static_cast<TransferDialog&>(window);
         if ((InSendMessageEx(nullptr) & ISMEX_NOTIFY) == 0)
             return dialog.DefaultProcessing(PROGRESS_MESSAGE, state, result);
         return dialog.OnProgressMessage(static_cast<int>(state), static_cast<int>(result));
     }},
    {PROGRESS_AMOUNT_MESSAGE, 0, 0,
     [](CWnd& window, WPARAM percent, LPARAM phase) -> LRESULT {
         return static_cast<TransferDialog&>(window).OnProgressAmount(static_cast<unsigned>(percent),
                                                                      static_cast<int>(phase));
     }},
    {WM_TIMER, 0, 0,
     [](CWnd& window, WPARAM timerId, LPARAM) -> LRESULT {
         static_cast<TransferDialog&>(window).OnTimer(static_cast<UINT_PTR>(timerId));
         return 0;
     }},
};

const MessageTable TransferDialog::messageTable =
    MakeHandlerTable(&CDialog::messageTable, TransferDialog::messageEntries);

TransferDialog::TransferDialog(CText payload, CText serverAddress, int32_t port, int32_t clientId,
                               CWnd* parent)
    : CDialog(IDD_TRANSFER, parent), payload_(payload), serverAddress_(serverAddress), port_(port),
      clientId_(clientId) {}

void TransferDialog::ShowButtons(int cancel, int ok, int retry) {
    const struct {
        int id;
        int on;
    } buttons[] = {{IDCANCEL, cancel}, {IDOK, ok}, {IDC_RETRY, retry}};
    for (const auto& button : buttons) {
        HWND item = GetDlgItem(hwnd_, button.id);
        if (item == nullptr) continue;
        EnableWindow(item, button.on != 0);
        ShowWindow(item, button.on != 0 ? SW_SHOW : SW_HIDE);
        if (button.on != 0) {
            focusId_ = button.id;
            SetFocus(item);
        }
    }
}

bool TransferDialog::RestoreButtonFocus() {
    HWND item = focusId_ != 0 ? GetDlgItem(hwnd_, focusId_) : nullptr;
    if (item == nullptr || !IsWindowVisible(item) || !IsWindowEnabled(item)) return false;
    if (GetFocus() != item) SetFocus(item);
    return true;
}

void TransferDialog::RememberButtonFocus() {
    HWND focus = GetFocus();
    if (focus == nullptr || GetParent(focus) != hwnd_ || !IsWindowVisible(focus) || !IsWindowEnabled(focus)) return;
    const int id = GetDlgCtrlID(focus);
    if (id == IDCANCEL || id == IDOK || id == IDC_RETRY) focusId_ = id;
}

bool TransferDialog::LaunchWorker() {
    return LaunchTransfer(payload_, serverAddress_, port_, clientId_, progressTarget_, tls_) != nullptr;
}

void TransferDialog::StartTransfer() {
    ShowButtons(1, 0, 0);
    // No worker means no progress message will ever come: fail now, so that Retry can try again.
    if (!LaunchWorker()) OnProgressMessage(PROGRESS_FINISHED, TRANSFER_FAILED);
}

BOOL TransferDialog::InitialiseDialog() {
    CDialog::InitialiseDialog();
    failureStatus_ = LoadResourceText(IDS_STATUS_FAILED);
    failureBar_ = LoadResourceText(IDS_BAR_FAILURE);
    // Without the clip or the bar the dialog still works: no animation, no status line. A clip
    // the control refuses would leave an empty framed box where the animation belongs, so the
    // control goes out of sight instead.
    if (!animation_.Open(IDR_CLIP) && animation_.GetSafeHwnd() != nullptr)
        ShowWindow(animation_.GetSafeHwnd(), SW_HIDE);
    statusBar_.Create(kStatusBarStyle, hwnd_, IDC_STATUS_BAR);
    UpdateWindow(hwnd_);
    progressTarget_.window = hwnd_;
    progressTarget_.message = PROGRESS_MESSAGE;
    progressTarget_.firstParameter = 0;
    progressTarget_.secondParameter = 0;
    StartTransfer();
    // The state's button has the focus; the platform would move it to the first tab stop.
    return FALSE;
}

LRESULT TransferDialog::OnProgressMessage(int state, int result) {
    FollowTransferPhase(state);
    UINT statusId = 0;
    UINT barId = 0;
    switch (state) {
    case PROGRESS_CONNECTING:
        statusId = IDS_STATUS_PLEASE_WAIT;
        barId = IDS_BAR_CONNECTING;
        break;
    case PROGRESS_TRANSFERRING:
        barId = IDS_BAR_TRANSFERRING;
        break;
    case PROGRESS_FINISHED:
        statusId = result == TRANSFER_SUCCEEDED ? IDS_STATUS_COMPLETE : IDS_STATUS_FAILED;
        barId = result == TRANSFER_SUCCEEDED ? IDS_BAR_SUCCESS : IDS_BAR_FAILURE;
        break;
    default:
        return 0;
    }
    if (statusId != 0) statusText_ = LoadResourceText(statusId);
    statusBar_.SetText(LoadResourceText(barId).Data());
    UpdateData(false);
    if (state == PROGRESS_FINISHED) {
        if (result == TRANSFER_SUCCEEDED)
            ShowButtons(0, 1, 0);
        else
            ShowButtons(1, 0, 1);
    }
    return 0;
}

void TransferDialog::ExchangeData(DataDirection direction) {
    if (animation_.GetSafeHwnd() == nullptr) animation_.AttachToItem(hwnd_, IDC_ANIMATION);
    if (direction == DataDirection::loading) {
        // Setting an unchanged text would only make the control repaint and flicker.
        if (GetItemText(IDC_STATUS_TEXT) != statusText_) SetDlgItemTextA(hwnd_, IDC_STATUS_TEXT, statusText_.Data());
    } else {
        statusText_ = GetItemText(IDC_STATUS_TEXT);
    }
}

void TransferDialog::OnCancelCommand() {
    // Escape reaches here even while Cancel is hidden after a success; asking "exit without
    // registering?" then, and ending with the cancel result, would misstate a finished transfer.
    HWND cancel = GetDlgItem(hwnd_, IDCANCEL);
    if (cancel != nullptr && !IsWindowEnabled(cancel)) return;
    if (ShowMessageBox(IDS_CONFIRM_CANCEL, kConfirmCancelStyle, static_cast<UINT>(-1)) != IDYES) return;
    // The worker, if any, is left to run; the end of the process ends it.
    CDialog::OnCancelCommand();
}

void TransferDialog::OnCloseRequest() {
    statusBar_.DestroyWindowNow();
    // Default processing issues the Cancel command when Cancel is enabled, and nothing otherwise.
    DefaultProcessing(WM_CLOSE, 0, 0);
}

LRESULT TransferDialog::OnHandlerFailure(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == PROGRESS_AMOUNT_MESSAGE) return 0;
    if (message != PROGRESS_MESSAGE || (InSendMessageEx(nullptr) & ISMEX_NOTIFY) == 0)
        return CDialog::OnHandlerFailure(message, wParam, lParam);
    if (static_cast<int>(wParam) == PROGRESS_FINISHED) ShowFailureWithoutAllocating();
    return 0;
}

void TransferDialog::ShowFailureWithoutAllocating() noexcept {
    FollowTransferPhase(PROGRESS_FINISHED);
    // The texts share their loaded buffers: no copy is made.
    statusText_ = failureStatus_;
    SetDlgItemTextA(hwnd_, IDC_STATUS_TEXT, statusText_.Data());
    statusBar_.SetText(failureBar_.Data());
    ShowButtons(1, 0, 1);
}

void TransferDialog::FollowTransferPhase(int state) noexcept {
    if (state == PROGRESS_TRANSFERRING) {
        amountAllowed_ = true;
        amountDue_ = false;
        amountPercent_ = -1;
        // Without the timer the amount line never shows; the transfer itself is not affected.
        if (SetTimer(hwnd_, kAmountTimerId, kAmountDelayMilliseconds, nullptr) == 0) amountAllowed_ = false;
    } else if (state == PROGRESS_CONNECTING || state == PROGRESS_FINISHED) {
        // From here the bar's final text stands, whatever amount of this worker is still queued.
        amountAllowed_ = false;
        amountDue_ = false;
        KillTimer(hwnd_, kAmountTimerId);
    }
}

LRESULT TransferDialog::OnProgressAmount(unsigned percent, int phase) {
    if (!amountAllowed_) return 0;
    amountPercent_ = static_cast<int>(percent > 100 ? 100 : percent);
    amountPhase_ = phase == AMOUNT_DRAINING ? AMOUNT_DRAINING : AMOUNT_SENDING;
    if (amountDue_) ShowAmount();
    return 0;
}

void TransferDialog::OnTimer(UINT_PTR timerId) {
    if (timerId != kAmountTimerId) return;
    KillTimer(hwnd_, kAmountTimerId);
    if (!amountAllowed_) return;
    amountDue_ = true;
    if (amountPercent_ >= 0) ShowAmount();
}

void TransferDialog::ShowAmount() {
    const UINT formatId = amountPhase_ == AMOUNT_DRAINING ? IDS_BAR_WAITING_FOR_SERVER : IDS_BAR_TRANSFER_AMOUNT;
    const uint64_t frameBytes = frame::kOverheadSize + static_cast<uint64_t>(payload_.Length());
    const CText line = progress_text::FillProgressFormat(LoadResourceText(formatId),
                                                         static_cast<unsigned>(amountPercent_), frameBytes);
    statusBar_.SetText(line.Data());
}
