// Resource counts of a process, for leak checks: kernel handles, threads, windows, the GDI/USER
// object counts where the platform keeps them, and memory. Read by the window driver for the
// program under test and by the reliability tests for themselves.
#pragma once

#include <windows.h>

struct ProcessStats {
    unsigned handles = 0;
    bool handlesProbed = false; // the platform reported no count: handle values were probed
    unsigned threads = 0;
    unsigned windows = 0;       // root windows of the process and their children
    bool guiCountsKnown = false;
    DWORD gdiObjects = 0;       // meaningful only with guiCountsKnown
    DWORD userObjects = 0;
    bool memoryKnown = false;
    SIZE_T workingSet = 0;
    SIZE_T privateBytes = 0;
};

// process needs PROCESS_QUERY_INFORMATION, PROCESS_VM_READ and PROCESS_DUP_HANDLE access (or is
// GetCurrentProcess()); pid names the same process.
ProcessStats ReadProcessStats(HANDLE process, DWORD pid);

// Calls visit for every window without a parent: the top-level ones EnumWindows lists, then the
// message-only ones (the sockets' notification windows), which it leaves out. Stops when visit
// returns FALSE.
void EnumRootWindows(WNDENUMPROC visit, LPARAM parameter);

// Threads of the process now (cheap: no handle probing).
unsigned CountProcessThreads(DWORD pid);
