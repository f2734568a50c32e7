// A Windows program that does nothing but load the system libraries the real program imports:
// timing it under Wine gives the start-up cost that the program's own work is measured against.
// With the argument "hold" it says "ready" on its output and waits for the end of its input, so
// its resident memory can be read while it still runs.
#include <windows.h>
#include <commctrl.h>
#include <winsock2.h>

#include <cstring>

namespace {
bool Hold() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (output == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    if (!WriteFile(output, "ready\n", 6, &written, nullptr) || written != 6) return false;
    char buffer[64];
    DWORD got = 0;
    // Returns at the end of the input, or when the pipe breaks because the reader went away.
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    return true;
}
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    // One cheap call into each library keeps its import, so Wine maps and initialises it as it
    // does for the real program; none of them shows anything.
    InitCommonControls();
    if (GetStockObject(WHITE_BRUSH) == NULL) return 1;
    if (GetSystemMetrics(SM_CXSCREEN) < 0) return 1;
    if (htons(1) == 0) return 1;
    if (commandLine != nullptr && std::strcmp(commandLine, "hold") == 0) return Hold() ? 0 : 1;
    return 0;
}
