// The test build's answer at the start-up staging seam (framework/StartupStaging.h). The
// environment variable PARVOLET_STAGE names one condition Wine cannot show by itself:
//   old-loader  SetDefaultDllDirectories is not found, as on Vista and 7 without the loader update;
//   no-dialog   the first dialog window the program makes cannot be created;
//   path-limit  names of MAX_PATH characters or more open only in the \\?\ form, as on a
//               Windows without the system's long-path setting (Wine has no such limit);
//   no-clip     the animation control refuses every clip, as Windows' control refuses one it
//               cannot play (Wine's plays any clip of ours).
// A name it does not know ends the program at once with status 99, so a misspelt stage cannot
// pass unnoticed as an ordinary run.
#include "framework/StartupStaging.h"

#include "framework/ReadOnlyFile.h"

#include <windows.h>
#include <commctrl.h>

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

HHOOK clipRefusal = nullptr;
WNDPROC animationProcedure = nullptr;

LRESULT CALLBACK RefuseClips(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == ACM_OPENA || message == ACM_OPENW) return FALSE;
    return CallWindowProcA(animationProcedure, hwnd, message, wParam, lParam);
}

// Puts RefuseClips in front of each animation control as it is made, before its first message.
LRESULT CALLBACK RefuseClipsOfNewAnimations(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        char className[32] = {};
        GetClassNameA(window, className, sizeof className);
        if (std::strcmp(className, ANIMATE_CLASSA) == 0) {
            const auto previous = reinterpret_cast<WNDPROC>(
                SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RefuseClips)));
            if (previous == nullptr) ExitProcess(kStagingFailed);
            animationProcedure = previous;
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
    } else if (length < sizeof stage && std::strcmp(stage, "no-clip") == 0) {
        clipRefusal = SetWindowsHookExA(WH_CBT, &RefuseClipsOfNewAnimations, nullptr, GetCurrentThreadId());
        if (clipRefusal == nullptr) ExitProcess(kStagingFailed);
    } else {
        ExitProcess(kStagingFailed);
    }
    return staging;
}
