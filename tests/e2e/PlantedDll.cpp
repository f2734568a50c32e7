// A stand-in for a system DLL that someone dropped beside the program. Built as wsock32.dll,
// ws2_32.dll and comctl32.dll; it exports nothing. Its only act: when a process loads it, it writes a marker
// file next to itself (its own path plus ".ran"), which the start-up test must never find.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyA(path + length, ".ran");
    HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(marker, "loaded\r\n", 8, &written, nullptr);
        CloseHandle(marker);
    }
    return TRUE;
}
