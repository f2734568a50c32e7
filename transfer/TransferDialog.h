// The progress dialog: starts a transfer as soon as its controls exist, turns each progress
// message into a status text, a status bar line and a set of buttons, and confirms a cancel.
#pragma once

#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/Text.h"
#include "transfer/TransferWorker.h"

#include <cstdint>

class TransferDialog : public CDialog {
    DECLARE_RUNTIME_CLASS(TransferDialog)
public:
    TransferDialog(CText payload, CText serverAddress, int32_t port, int32_t clientId, CWnd* parent);
    ~TransferDialog() override = default;

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
    void OnCloseRequest();

protected:
    void ExchangeData(DataDirection direction) override;
    BOOL InitialiseDialog() override;
    void OnCancelCommand() override;
    // Starts the worker for the current request; false when none started.
    virtual bool LaunchWorker();

private:
    static const MessageEntry messageEntries[];

    // Gives the focus back to the button the state focuses (or the one the user moved to), if it
    // can take it. False when there is none, so that the platform places the focus instead.
    bool RestoreButtonFocus();
    // On deactivation: a shown button the user moved the focus to is the one to come back to.
    void RememberButtonFocus();

    CText payload_;
    CText serverAddress_;
    int32_t port_;
    int32_t clientId_;
    ProgressTarget progressTarget_{};
    CStatusBarCtrl statusBar_;
    CAnimateCtrl animation_;
    CText statusText_;
    int focusId_ = 0; // the button that gets the focus back when the dialog is activated again
};
