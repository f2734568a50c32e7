// The dialog window object: a window made from a dialog template, driven by its own modal loop,
// with virtual initialisation, data exchange, OK and cancel operations behind its message table.
#pragma once

#include "framework/Text.h"
#include "framework/Wnd.h"

#include <windows.h>

enum class DataDirection {
    loading, // members to controls
    saving,  // controls to members
};

class CDialog : public CWnd {
    DECLARE_RUNTIME_CLASS(CDialog)
public:
    CDialog(UINT templateId, CWnd* parent) noexcept : templateId_(templateId), parent_(parent) {}
    // Destroys a window that still exists while the object is still a dialog.
    ~CDialog() override;

    // Creates the dialog, runs its modal loop until EndDialog, then hides and destroys the window.
    // The result given to EndDialog; -1 when the template is missing or the dialog cannot be made.
    INT_PTR RunModal();
    // Creates the dialog window without running a loop (RunModal's first half). False when the
    // template is missing or the window cannot be made.
    bool CreateModeless();
    // Ends the modal run with result once the current message has been handled.
    void EndDialog(INT_PTR result) noexcept;
    bool IsEnding() const noexcept { return ending_; }
    INT_PTR Result() const noexcept { return result_; }

    // Runs the data exchange: saving reads the controls into the members, loading the reverse.
    bool UpdateData(bool saving);

    const MessageTable* GetMessageTable() const noexcept override { return &messageTable; }
    static const MessageTable messageTable;

    // Text of a control of this dialog; empty when there is no such control.
    CText GetItemText(int id) const;

protected:
    // Runs once the window and its template controls exist, before the dialog is first shown.
    // The base loads the controls from the members. Nonzero lets the platform place the focus.
    virtual BOOL InitialiseDialog();
    // Command id 1: saves the controls into the members and ends with 1.
    virtual void OnOkCommand();
    // Command id 2: ends with 2.
    virtual void OnCancelCommand();
    virtual void ExchangeData(DataDirection direction);

    // Hands the message being handled on to the platform's default dialog processing, which runs
    // once the handler has returned.
    LRESULT DefaultProcessing(UINT message, WPARAM wParam, LPARAM lParam) override;
    // A handler that threw: a dialog whose initialisation failed ends its modal run with -1, as
    // one that could not be made; any other system message gets the platform's default
    // processing, and a private one counts as handled.
    LRESULT OnHandlerFailure(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;

private:
    static INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static const MessageEntry messageEntries[];

    UINT templateId_;
    CWnd* parent_;
    bool ending_ = false;
    INT_PTR result_ = -1;
    bool passToDefault_ = false;
};
