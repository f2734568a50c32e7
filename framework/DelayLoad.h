// The program's delay-loaded system DLLs (WSOCK32, WS2_32, COMCTL32, and SECUR32 and CRYPT32 for
// TLS): which they are, binding all their
// imports at start-up, and the message and exit when one cannot be loaded or lacks a function.
#pragma once

#include <windows.h>

struct DelayLoadedDll {
    const char* name;  // as the program's delay-import directory names it
    UINT messageId;    // what the user is told when it cannot be used
};

// The sockets DLLs first: a system that lacks all shows their message, the one start-up shows
// first. WS2_32 brings name resolution for IPv6 and shares the sockets message.
extern const DelayLoadedDll kDelayLoadedDlls[5];

// What the process returns when a delay-loaded DLL cannot be used: start-up stopped before the
// dialog, after a message box, like its other refusals.
constexpr UINT kDelayLoadFailureExitStatus = 0;

// Loads the delay-loaded DLLs and resolves every function the program imports from them, so
// that a DLL that cannot be loaded, or lacks one of them, shows before anything else happens and
// never in the middle of a transfer. Such a failure ends the process here, after its message box,
// with kDelayLoadFailureExitStatus. A program that imports the two the ordinary way (the test
// programs) has nothing to bind. Must run after the DLL search is limited (DllSearch.h).
void BindDelayLoadedImports() noexcept;
