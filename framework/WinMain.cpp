// The program's entry, in an object library of its own (parvolet_entry): only a program that
// runs the framework's application object links it (test programs bring their own main), and
// with it the start-up staging seam.
#include "framework/DelayLoad.h"
#include "framework/DllSearch.h"
#include "framework/StartupStaging.h"
#include "framework/WinApp.h"

#include <windows.h>

// The application object is static, so it exists before this runs.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const StartupStaging staging = StageStartupConditions();
    // First of all: WSOCK32, WS2_32 and COMCTL32 are delay-loaded, found by name at their first
    // call, and none is a KnownDLL. Until the search is limited, that load would look in the program's
    // own folder first and run whatever DLL of that name lies there; once one is loaded, it stays.
    // Nothing before this point calls into them (no static object does).
    if (RestrictDllSearchToSystemFolder(!staging.withoutDefaultDllDirectories) != DllSearch::systemFolderOnly &&
        !LoadDelayLoadedDllsFromSystemFolder()) {
        // The program's folder is still searched and the system folder lacks one of them: a
        // later load by name could only find a stranger's copy. End as the system's loader ends a
        // program whose DLL is missing.
        return ERROR_MOD_NOT_FOUND;
    }
    // A DLL that cannot be loaded now (a policy that blocks it), or that lacks a function, is
    // reported here and ends the program, before any window or connection.
    BindDelayLoadedImports();
    CWinApp* app = CWinApp::Current();
    if (app == nullptr) return 0;
    return app->Run();
}
