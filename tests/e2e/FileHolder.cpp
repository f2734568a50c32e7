// Holds one file open as a writer that has not let go yet: opened with no sharing at all, so
// every other open of it fails with a sharing violation until this program is told to close it.
// Usage: fileholder.exe PATH. Prints "HOLDING" once the file is held, closes it when a line (or
// the end) arrives on its input, then prints "RELEASED". Prints "FAILED <code>" if it cannot
// open the file.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

int main() {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 2) {
        std::printf("FAILED usage\n");
        return 2;
    }
    HANDLE file = CreateFileW(arguments[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("FAILED %lu\n", GetLastError());
        return 1;
    }
    std::printf("HOLDING\n");
    std::fflush(stdout);
    char line[16];
    DWORD got = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), line, sizeof line, &got, nullptr);
    CloseHandle(file);
    std::printf("RELEASED\n");
    std::fflush(stdout);
    return 0;
}
