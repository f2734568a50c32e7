// A Windows program that does nothing but load the system libraries the real program imports:
// timing it under Wine gives the start-up cost that the program's own work is measured against.
#include <windows.h>
#include <commctrl.h>
#include <winsock.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // One cheap call into each library keeps its import, so Wine maps and initialises it as it
    // does for the real program; none of them shows anything.
    InitCommonControls();
    if (GetStockObject(WHITE_BRUSH) == NULL) return 1;
    if (GetSystemMetrics(SM_CXSCREEN) < 0) return 1;
    if (htons(1) == 0) return 1;
    return 0;
}
