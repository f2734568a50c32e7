// What a leak check reads of the test process itself: kernel handles, threads, windows, the
// GDI/USER object counts where the platform keeps them, and private memory.
#pragma once

#include <windows.h>

#include <string>

struct ProcessCounters {
    unsigned kernelHandles = 0;
    unsigned threads = 0;
    unsigned windows = 0;   // root windows (message-only ones too) of this process and their children
    bool guiCountsKnown = false;
    DWORD gdiObjects = 0;   // meaningful only with guiCountsKnown
    DWORD userObjects = 0;
    SIZE_T privateBytes = 0;

    std::string Describe() const;
};

ProcessCounters ReadProcessCounters();

// Threads of this process now (cheap: no handle probing).
unsigned CountOwnThreads();

// Windows of this process with the given title (top-level or message-only), e.g. socket
// notification windows.
unsigned CountOwnWindowsTitled(const char* title);
