// Binding the delay-loaded imports, and the delay-load helper's failure hook. Without the hook
// the helper raises an exception (0xC06D007E or 0xC06D007F) that nothing handles, and the program
// vanishes without a word. A blocked DLL is what a Windows policy that forbids it looks like.
#include "framework/DelayLoad.h"

#include "framework/MessageBox.h"
#include "res/resource.h"

#include <delayimp.h>

const DelayLoadedDll kDelayLoadedDlls[5] = {
    {"WSOCK32.DLL", IDS_SOCKETS_INIT_FAILED},
    {"WS2_32.DLL", IDS_SOCKETS_INIT_FAILED},
    {"COMCTL32.DLL", IDS_CONTROLS_INIT_FAILED},
    // Every function the TLS layer uses is in both since Vista, the oldest system the program
    // runs on: binding them at start-up costs a plain transfer nothing it could lose.
    {"SECUR32.DLL", IDS_SECURITY_INIT_FAILED},
    {"CRYPT32.DLL", IDS_SECURITY_INIT_FAILED},
};

namespace {

// The helper's failure hook. Returning null would make the helper raise its exception, and no
// stand-in function can take a call of every signature in the DLL, so it does not return: the
// user hears which part of Windows is missing, and the program ends as start-up's refusals end.
// Only the main thread's binding at start-up reaches it in the shipped program; nothing of the
// program's own runs yet, so there is nothing to undo.
FARPROC WINAPI OnDelayLoadFailure(unsigned, PDelayLoadInfo info) noexcept {
    const DelayLoadedDll* failed = &kDelayLoadedDlls[0];
    for (const DelayLoadedDll& dll : kDelayLoadedDlls) {
        if (info != nullptr && info->szDll != nullptr && lstrcmpiA(info->szDll, dll.name) == 0) failed = &dll;
    }
    try {
        // USER32 only, which is imported the ordinary way: nothing here is delay-loaded.
        // Style 0, as start-up's sockets message has it: OK and the exclamation icon.
        ShowMessageBox(failed->messageId, 0);
    } catch (...) {
        // Without memory for the text the box cannot be shown; the exit still comes.
    }
    ExitProcess(kDelayLoadFailureExitStatus);
}

// The image's delay-import directory, which the build fills in after the link; empty in programs
// that import the two DLLs the ordinary way.
bool HasDelayImports() noexcept {
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    if (base == nullptr) return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_OPTIONAL_HEADER& optional = nt->OptionalHeader;
    return optional.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT &&
           optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress != 0;
}

} // namespace

// The run-time's delay-load helper calls this when a load or a lookup fails (MinGW-w64's
// libmingwex keeps the null default in an object of its own, which this definition replaces).
extern "C" {
PfnDliHook __pfnDliFailureHook2 = &OnDelayLoadFailure;
}

void BindDelayLoadedImports() noexcept {
    // The run-time's walk reads the directory without checking that there is one.
    if (!HasDelayImports()) return;
    // A DLL the directory does not name is simply not delay-loaded here; failures go to the hook.
    for (const DelayLoadedDll& dll : kDelayLoadedDlls) __HrLoadAllImportsForDll(dll.name);
}
