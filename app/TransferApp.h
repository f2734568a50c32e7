// The program's application object: its start-up takes the file name, the settings and the
// payload, then runs the progress dialog.
#pragma once

#include "framework/WinApp.h"

class TransferApp : public CWinApp {
    DECLARE_RUNTIME_CLASS(TransferApp)
public:
    TransferApp();
    ~TransferApp() override;

    // Every path returns 0: the program runs no message loop of its own. The exit status is 0
    // when start-up stops before the dialog, else the dialog's result (1 OK, 2 cancelled).
    int StartApplication() override;

    const CommandMap* GetCommandMap() const noexcept override { return &commandMap; }
    static const CommandMap commandMap;
};
