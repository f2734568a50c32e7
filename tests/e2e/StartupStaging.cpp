// The test build's answer at the start-up staging seam (framework/StartupStaging.h). The
// environment variable PARVOLET_STAGE names one condition Wine cannot show by itself:
//   old-loader  SetDefaultDllDirectories is not found, as on Vista and 7 without the loader update;
//   no-dialog   the first dialog window the program makes cannot be created;
//   path-limit  names of MAX_PATH characters or more open only in the \\?\ form, as on a
//               Windows without the system's long-path setting (Wine has no such limit).
// A name it does not know ends the program at once with status 99, so a misspelt stage cannot
// pass unnoticed as an ordinary run.
#include "framework/StartupStaging.h"

#include "framework/ReadOnlyFile.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr UINT kStagingFailed = 99;

HHOOK dialogRefusal = nullptr;

// A dialog whose window is refused here fails to be made as one would without window memory.
LRESULT CALLBACK RefuseFirstDialog(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        char className[16] = {};
        GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof className);
        if (std::strcmp(className, "#32770") == 0) {
            // Only the first: the message box that reports the failure is a dialog window too.
            UnhookWindowsHookEx(dialogRefusal);
            dialogRefusal = nullptr;
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

StartupStaging StageStartupConditions() noexcept {
    StartupStaging staging;
    char stage[32] = {};
    const DWORD length = GetEnvironmentVariableA("PARVOLET_STAGE", stage, sizeof stage);
    if (length == 0) return staging;
    if (length < sizeof stage && std::strcmp(stage, "old-loader") == 0) {
        staging.withoutDefaultDllDirectories = true;
    } else if (length < sizeof stage && std::strcmp(stage, "no-dialog") == 0) {
        dialogRefusal = SetWindowsHookExA(WH_CBT, &RefuseFirstDialog, nullptr, GetCurrentThreadId());
        if (dialogRefusal == nullptr) ExitProcess(kStagingFailed);
    } else if (length < sizeof stage && std::strcmp(stage, "path-limit") == 0) {
        ReadOnlyFile::RefuseLongPlainNames(true);
    } else {
        ExitProcess(kStagingFailed);
    }
    return staging;
}
