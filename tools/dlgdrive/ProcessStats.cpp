// Wine answers GetProcessHandleCount with 0 and does not implement GetGuiResources, so handles
// are counted by duplicating each candidate value out of the process, and windows by enumeration;
// GDI/USER counts are given only where the platform really reports them.
#include "tools/dlgdrive/ProcessStats.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>

namespace {

// Handle values are multiples of 4; past the last open one come only free slots. Stop after a
// long run of misses so a sparse table is still counted whole.
unsigned ProbeHandles(HANDLE process) {
    constexpr ULONG_PTR kMissesBeforeStop = 4096;
    constexpr ULONG_PTR kLimit = ULONG_PTR(1) << 22;
    unsigned count = 0;
    ULONG_PTR misses = 0;
    for (ULONG_PTR value = 4; value < kLimit && misses < kMissesBeforeStop; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            CloseHandle(copy);
            ++count;
            misses = 0;
        } else {
            ++misses;
        }
    }
    return count;
}

struct WindowTally {
    DWORD pid;
    unsigned count;
};

BOOL CALLBACK TallyChild(HWND, LPARAM parameter) {
    ++reinterpret_cast<WindowTally*>(parameter)->count;
    return TRUE;
}

BOOL CALLBACK TallyTopLevel(HWND hwnd, LPARAM parameter) {
    auto* tally = reinterpret_cast<WindowTally*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == tally->pid) {
        ++tally->count;
        EnumChildWindows(hwnd, TallyChild, parameter);
    }
    return TRUE;
}

struct RootVisit {
    WNDENUMPROC visit;
    LPARAM parameter;
    bool stopped;
};

BOOL CALLBACK VisitTopLevel(HWND hwnd, LPARAM parameter) {
    auto* state = reinterpret_cast<RootVisit*>(parameter);
    if (!state->visit(hwnd, state->parameter)) state->stopped = true;
    return state->stopped ? FALSE : TRUE;
}

} // namespace

void EnumRootWindows(WNDENUMPROC visit, LPARAM parameter) {
    RootVisit state{visit, parameter, false};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&state));
    for (HWND hwnd = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); hwnd != nullptr && !state.stopped;
         hwnd = FindWindowExA(HWND_MESSAGE, hwnd, nullptr, nullptr))
        if (!visit(hwnd, parameter)) state.stopped = true;
}

unsigned CountProcessThreads(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    unsigned count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == pid) ++count;
    CloseHandle(snapshot);
    return count;
}

ProcessStats ReadProcessStats(HANDLE process, DWORD pid) {
    ProcessStats stats;
    DWORD reported = 0;
    if (!GetProcessHandleCount(process, &reported)) reported = 0;
    stats.handlesProbed = reported == 0;
    stats.handles = reported != 0 ? reported : ProbeHandles(process);
    stats.threads = CountProcessThreads(pid);
    WindowTally windows{pid, 0};
    EnumRootWindows(TallyTopLevel, reinterpret_cast<LPARAM>(&windows));
    stats.windows = windows.count;
    SetLastError(0);
    DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    stats.guiCountsKnown = gdi != 0 || GetLastError() == 0;
    if (stats.guiCountsKnown) {
        stats.gdiObjects = gdi;
        stats.userObjects = GetGuiResources(process, GR_USEROBJECTS);
    }
    PROCESS_MEMORY_COUNTERS memory;
    std::memset(&memory, 0, sizeof memory);
    memory.cb = sizeof memory;
    stats.memoryKnown = GetProcessMemoryInfo(process, &memory, sizeof memory) != FALSE;
    if (stats.memoryKnown) {
        stats.workingSet = memory.WorkingSetSize;
        stats.privateBytes = memory.PagefileUsage;
    }
    return stats;
}
