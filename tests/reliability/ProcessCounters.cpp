// Reading the process's own resource counts, with the same reader the window driver uses for the
// program under test.
#include "tests/reliability/ProcessCounters.h"

#include "tools/dlgdrive/ProcessStats.h"

#include <cstdio>
#include <cstring>

unsigned CountOwnThreads() { return CountProcessThreads(GetCurrentProcessId()); }

namespace {

struct WindowCount {
    const char* title;
    unsigned count;
};

BOOL CALLBACK CountTopLevel(HWND hwnd, LPARAM parameter) {
    auto* state = reinterpret_cast<WindowCount*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId()) return TRUE;
    char text[128] = "";
    GetWindowTextA(hwnd, text, sizeof text);
    if (std::strcmp(text, state->title) == 0) ++state->count;
    return TRUE;
}

} // namespace

ProcessCounters ReadProcessCounters() {
    const ProcessStats stats = ReadProcessStats(GetCurrentProcess(), GetCurrentProcessId());
    ProcessCounters counters;
    counters.kernelHandles = stats.handles;
    counters.threads = stats.threads;
    counters.windows = stats.windows;
    counters.guiCountsKnown = stats.guiCountsKnown;
    counters.gdiObjects = stats.gdiObjects;
    counters.userObjects = stats.userObjects;
    counters.privateBytes = stats.privateBytes;
    return counters;
}

unsigned CountOwnWindowsTitled(const char* title) {
    WindowCount windows{title, 0};
    EnumRootWindows(CountTopLevel, reinterpret_cast<LPARAM>(&windows));
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
