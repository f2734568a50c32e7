// The application object's life: the start-up order, the command map and string loading.
#include "framework/WinApp.h"

#include "framework/CommandLine.h"
#include "framework/Exceptions.h"
#include "framework/PathText.h"
#include "framework/Wnd.h"
#include "res/resource.h"

#include <commctrl.h>

#include <cwchar>
#include <vector>

IMPLEMENT_RUNTIME_CLASS(CWinApp, CObject)

namespace {
CWinApp* currentApp = nullptr;

const CommandEntry appCommands[] = {
    {kHelpCommand, [](CWinApp& app) { app.OnHelp(); }},
};
} // namespace

const CommandMap CWinApp::commandMap = MakeHandlerTable<CommandEntry>(nullptr, appCommands);

CWinApp::CWinApp(const char* appName) : appName_(appName) { currentApp = this; }

CWinApp::~CWinApp() {
    if (currentApp == this) currentApp = nullptr;
}

CWinApp* CWinApp::Current() noexcept { return currentApp; }

bool CWinApp::RouteCommand(UINT commandId) {
    const CommandEntry* entry =
        GetCommandMap()->Find([commandId](const CommandEntry& e) { return e.commandId == commandId; });
    if (entry == nullptr) return false;
    entry->handler(*this);
    return true;
}

void CWinApp::EnableThreeDimensionalControls() noexcept {
    static bool done = false;
    if (done) return;
    done = true;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES | ICC_ANIMATE_CLASS | ICC_BAR_CLASSES};
    // Older comctl32 builds lack the Ex form's classes; the plain call registers the basic set.
    if (!InitCommonControlsEx(&controls)) InitCommonControls();
}

int CWinApp::Run() {
    // A file on a drive without a medium must simply fail to open, not pop up a system box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The C run-time's own argument text may differ in how it treats quotes; take the raw line.
    // Wide, so that a file name the ANSI code page cannot spell still names its file.
    const wchar_t* line = GetCommandLineW();
    commandLine_ = CommandLineArguments(platform::PathTextFromWide(line, std::wcslen(line)).Data());
    title_ = appName_.IsEmpty() ? LoadResourceText(IDS_APP_TITLE) : appName_;

    int runLoop = 0;
    try {
        runLoop = StartApplication();
    } catch (CException* e) {
        // Nothing is left to show it in; end the way a stopped start-up does.
        e->Delete();
        runLoop = 0;
    }
    if (runLoop == 0) return exitStatus_;

    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(message.wParam);
        if (got == -1) return exitStatus_;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

CText LoadResourceText(UINT id) {
    // LoadStringA cuts a string that does not fit without saying so: grow until it leaves room.
    std::vector<char> buffer(256);
    for (;;) {
        int length = LoadStringA(ModuleInstance(), id, buffer.data(), static_cast<int>(buffer.size()));
        if (length <= 0) return CText();
        if (static_cast<size_t>(length) + 1 < buffer.size() || buffer.size() > 65536)
            return CText(buffer.data(), static_cast<size_t>(length));
        buffer.resize(buffer.size() * 4);
    }
}
