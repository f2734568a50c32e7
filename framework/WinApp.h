// The application object and the program's entry. The program defines one static object of a
// class derived from CWinApp; the framework's WinMain finds it and runs its start-up.
#pragma once

#include "framework/HandlerTable.h"
#include "framework/Object.h"
#include "framework/Text.h"

#include <windows.h>

#include <cstddef>

class CWinApp;

// The standard help command (menus and F1 keys route it to the application).
constexpr UINT kHelpCommand = 0xE146;

// The application's command map: command ids routed to handlers, chained to the base's map.
struct CommandEntry {
    UINT commandId;
    void (*handler)(CWinApp& app);
};

using CommandMap = HandlerTable<CommandEntry>;

class CWinApp : public CObject {
    DECLARE_RUNTIME_CLASS(CWinApp)
public:
    // Without a name the title is string IDS_APP_TITLE, loaded when the program starts.
    explicit CWinApp(const char* appName = nullptr);
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
    ~CWinApp() override;

    // The program's start-up, called once. Non-zero runs the message loop afterwards; zero ends
    // the program at once with ExitStatus().
    virtual int StartApplication() { return 0; }

    virtual const CommandMap* GetCommandMap() const noexcept { return &commandMap; }
    // Runs the handler the map chain holds for commandId; false when there is none.
    bool RouteCommand(UINT commandId);
    // The framework's help handler. No help file ships with the program: it opens nothing.
    virtual void OnHelp() {}

    // Switches on the common controls' look for the program's dialogs; once is enough.
    void EnableThreeDimensionalControls() noexcept;

    const CText& Title() const noexcept { return title_; }
    const CText& CommandLineText() const noexcept { return commandLine_; }

    HWND MainWindow() const noexcept { return mainWindow_; }
    void SetMainWindow(HWND window) noexcept { mainWindow_ = window; }

    // The help context a help request would open (0x30000 + id while a message box is shown).
    DWORD HelpContext() const noexcept { return helpContext_; }
    void SetHelpContext(DWORD context) noexcept { helpContext_ = context; }

    // What the process returns: 0 unless start-up records another value.
    int ExitStatus() const noexcept { return exitStatus_; }
    void SetExitStatus(int status) noexcept { exitStatus_ = status; }

    // The entry's body: error mode, command line, title, start-up, message loop if asked.
    int Run();

    // The one application object, or null before it is constructed and after it is destroyed.
    static CWinApp* Current() noexcept;

    static const CommandMap commandMap;

private:
    CText appName_;
    CText title_;
    CText commandLine_;
    HWND mainWindow_ = nullptr;
    DWORD helpContext_ = 0;
    int exitStatus_ = 0;
};

// A string of the program's string table, whole however long; the empty text when it is absent.
CText LoadResourceText(UINT id);
