// The progress dialog: starts a transfer as soon as its controls exist, turns each progress
// message into a status text, a status bar line and a set of buttons, and confirms a cancel.
#pragma once

#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/Text.h"
#include "transfer/ProgressMessages.h"
#include "transfer/TransferWorker.h"

#include <cstdint>

class TransferDialog : public CDialog {
    DECLARE_RUNTIME_CLASS(TransferDialog)
public:
    TransferDialog(CText payload, CText serverAddress, int32_t port, int32_t clientId, CWnd* parent);
    ~TransferDialog() override = default;
    // Every transfer of this dialog, Retry's included, goes over TLS as these say.
    void UseTls(const TlsSettings& tls) { tls_ = tls; }

    const MessageTable* GetMessageTable() const noexcept override { return &messageTable; }
    static const MessageTable messageTable;

    // Shows, enables and focuses each button whose flag is nonzero, in the order Cancel, OK,
    // Retry; hides and disables the others. Missing buttons are skipped. The last one shown keeps
    // the focus through later activations of the dialog.
    void ShowButtons(int cancel, int ok, int retry);
    // Cancel alone, then a new worker with the same payload, server, port and client id; the
    // failure state at once when no worker starts.
    void StartTransfer();
    LRESULT OnProgressMessage(int state, int result);
    // The share of the frame a long transfer has handed over (PROGRESS_AMOUNT_MESSAGE).
    LRESULT OnProgressAmount(unsigned percent, int phase);
    void OnTimer(UINT_PTR timerId);
    void OnCloseRequest();

protected:
    void ExchangeData(DataDirection direction) override;
    BOOL InitialiseDialog() override;
    void OnCancelCommand() override;
    // Starts the worker for the current request; false when none started.
    virtual bool LaunchWorker();
    // A worker's state whose handler threw (no memory for a text, say). The final one fails the
    // transfer, shown without allocating, so Retry and Cancel stay offered; an earlier one is
    // left undrawn, since its worker still runs and reports its end.
    LRESULT OnHandlerFailure(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;

private:
    static const MessageEntry messageEntries[];

    // Gives the focus back to the button the state focuses (or the one the user moved to), if it
    // can take it. False when there is none, so that the platform places the focus instead.
    bool RestoreButtonFocus();
    // On deactivation: a shown button the user moved the focus to is the one to come back to.
    void RememberButtonFocus();
    // Follows the worker's states for the amount line: it may show only in state 1, and only
    // once that state has lasted a while, so a short transfer looks exactly as it always did.
    void FollowTransferPhase(int state) noexcept;
    // The failure state from texts loaded in advance: it must show when memory has run out.
    void ShowFailureWithoutAllocating() noexcept;
    void ShowAmount();

    CText payload_;
    CText serverAddress_;
    int32_t port_;
    int32_t clientId_;
    TlsSettings tls_;
    ProgressTarget progressTarget_{};
    CStatusBarCtrl statusBar_;
    CAnimateCtrl animation_;
    CText statusText_;
    CText failureStatus_;
    CText failureBar_;
    int focusId_ = 0; // the button that gets the focus back when the dialog is activated again
    bool amountAllowed_ = false; // in state 1 of the current worker
    bool amountDue_ = false;     // ... and that state has lasted long enough to show amounts
    int amountPercent_ = -1;     // the latest amount of the current worker; -1 before the first
    int amountPhase_ = AMOUNT_SENDING;
};
