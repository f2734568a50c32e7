// The test build's answer at the transport's call seam: no call is made to fail, and the
// environment variable PARVOLET_STAGE_REPORTS names reports to give as another version of
// Windows gives them:
//   lose-write-notifications  every write notification after a send refused with WSAEWOULDBLOCK
//                             is lost (Windows before 10 version 1607 does not always post it).
// PARVOLET_STAGE_LOG, when set, names a file that gets one line per lost notification ("lost")
// and per timer tick of a wait for the write event ("tick PERIOD"). A name it does not know ends
// the program with status 99 at its first socket call, as the start-up staging does at start-up.
#include "net/WinsockCalls.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr UINT kStagingFailed = 99;

struct Staging {
    bool loseWriteAfterWouldBlock = false;
    char log[MAX_PATH] = {};
};

// Read on first use, which may come right after a refused send: reading the environment sets
// the thread's last error, which is the Winsock error the transport is about to look at.
const Staging& Current() {
    static const Staging staging = [] {
        const DWORD error = GetLastError();
        Staging s;
        char name[64] = {};
        const DWORD length = GetEnvironmentVariableA("PARVOLET_STAGE_REPORTS", name, sizeof name);
        if (length >= sizeof name) ExitProcess(kStagingFailed);
        if (length > 0) {
            if (std::strcmp(name, "lose-write-notifications") != 0) ExitProcess(kStagingFailed);
            s.loseWriteAfterWouldBlock = true;
        }
        const DWORD logLength = GetEnvironmentVariableA("PARVOLET_STAGE_LOG", s.log, sizeof s.log);
        if (logLength >= sizeof s.log) ExitProcess(kStagingFailed);
        SetLastError(error);
        return s;
    }();
    return staging;
}

std::atomic<bool> sendWasRefused{false};

// Appends one line; the Winsock error (the thread's last error) is kept for the caller.
void Note(const char* line) noexcept {
    const Staging& staging = Current();
    if (staging.log[0] == '\0') return;
    const DWORD error = GetLastError();
    HANDLE file = CreateFileA(staging.log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
        CloseHandle(file);
    }
    SetLastError(error);
}

} // namespace

namespace winsock {

bool InjectFailure(Call, int) noexcept { return false; }

void SendReturned(SOCKET, int result) noexcept {
    if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && Current().loseWriteAfterWouldBlock)
        sendWasRefused = true;
}

bool NotificationTaken(SOCKET, LPARAM& eventWord) noexcept {
    if (LOWORD(static_cast<DWORD>(eventWord)) != FD_WRITE || !sendWasRefused) return true;
    Note("lost\n");
    return false;
}

void TimerTicked(unsigned eventBit, DWORD periodMilliseconds) noexcept {
    if (eventBit != FD_WRITE) return;
    char line[32];
    std::snprintf(line, sizeof line, "tick %lu\n", static_cast<unsigned long>(periodMilliseconds));
    Note(line);
}

} // namespace winsock
