// Reading the process's own resource counts. Wine answers GetProcessHandleCount with 0 and does
// not implement GetGuiResources, so handles are counted by probing handle values, and windows by
// enumeration; the GDI/USER counts are taken only where the platform really reports them.
#include "tests/reliability/ProcessCounters.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace {

// Handle values are multiples of 4; past the last open one come only free slots. Stop after a
// long run of misses so a sparse table is still counted whole.
unsigned ProbeKernelHandles() {
    constexpr ULONG_PTR kMissesBeforeStop = 4096;
    constexpr ULONG_PTR kLimit = ULONG_PTR(1) << 22;
    unsigned count = 0;
    ULONG_PTR misses = 0;
    for (ULONG_PTR value = 4; value < kLimit && misses < kMissesBeforeStop; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            misses = 0;
        } else {
            ++misses;
        }
    }
    return count;
}

} // namespace

unsigned CountOwnThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    unsigned count = 0;
    THREADENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

namespace {

struct WindowCount {
    const char* title; // null: every window
    unsigned count;
};

BOOL CALLBACK CountChild(HWND, LPARAM parameter) {
    ++reinterpret_cast<WindowCount*>(parameter)->count;
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND hwnd, LPARAM parameter) {
    auto* state = reinterpret_cast<WindowCount*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId()) return TRUE;
    if (state->title != nullptr) {
        char text[128] = "";
        GetWindowTextA(hwnd, text, sizeof text);
        if (std::strcmp(text, state->title) == 0) ++state->count;
        return TRUE;
    }
    ++state->count;
    EnumChildWindows(hwnd, CountChild, parameter);
    return TRUE;
}

} // namespace

ProcessCounters ReadProcessCounters() {
    ProcessCounters counters;
    counters.kernelHandles = ProbeKernelHandles();
    counters.threads = CountOwnThreads();
    WindowCount windows{nullptr, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&windows));
    counters.windows = windows.count;
    SetLastError(0);
    DWORD gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (gdi != 0 || GetLastError() == 0) {
        counters.guiCountsKnown = true;
        counters.gdiObjects = gdi;
        counters.userObjects = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    }
    PROCESS_MEMORY_COUNTERS memory;
    std::memset(&memory, 0, sizeof memory);
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) counters.privateBytes = memory.PagefileUsage;
    return counters;
}

unsigned CountOwnWindowsTitled(const char* title) {
    WindowCount windows{title, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&windows));
    return windows.count;
}

std::string ProcessCounters::Describe() const {
    char text[200];
    if (guiCountsKnown)
        std::snprintf(text, sizeof text, "handles %u, threads %u, windows %u, GDI %lu, USER %lu, private %lu KiB",
                      kernelHandles, threads, windows, static_cast<unsigned long>(gdiObjects),
                      static_cast<unsigned long>(userObjects), static_cast<unsigned long>(privateBytes / 1024));
    else
        std::snprintf(text, sizeof text, "handles %u, threads %u, windows %u, GDI/USER not reported, private %lu KiB",
                      kernelHandles, threads, windows, static_cast<unsigned long>(privateBytes / 1024));
    return text;
}
