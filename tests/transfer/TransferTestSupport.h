// Test helpers for the worker and dialog tests: a message pump with a time bound, a recorder
// window for progress messages, and a scripted loopback server on a thread of its own.
#pragma once

#include "transfer/ProgressMessages.h"
#include "transfer/TransferWorker.h"

#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace transfer_test {

// Dispatches the thread's messages (through the dialog's keyboard handling when one is given)
// until done() holds or timeoutMs pass. False on time-out.
template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs, HWND dialog = nullptr) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (dialog == nullptr || !IsDialogMessageA(dialog, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        if (done()) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

inline void PumpFor(DWORD milliseconds, HWND dialog = nullptr) {
    PumpUntil([] { return false; }, milliseconds, dialog);
}

// A hidden window that records every PROGRESS_MESSAGE it gets, in order.
class ProgressRecorder {
public:
    ProgressRecorder();
    ~ProgressRecorder();
    ProgressRecorder(const ProgressRecorder&) = delete;
    ProgressRecorder& operator=(const ProgressRecorder&) = delete;

    ProgressTarget Target() const;
    HWND Window() const { return window_; }
    void DestroyWindowNow();
    // Pumps until the finished state has arrived.
    bool WaitForFinish(DWORD timeoutMs);

    std::vector<std::pair<int, int>> messages; // (state, result)

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window_ = nullptr;
};

// What the server does with the one connection it accepts.
struct ServerScript {
    enum class Greeting {
        whole,       // four bytes in one send
        inPieces,    // two bytes, a pause, two bytes
        closeAtOnce, // closes right after accepting
        never,       // sends nothing and holds the connection until Release()
    };
    Greeting greeting = Greeting::whole;
    size_t extraBytes = 0;   // sent right after the greeting, never expected by the client
    DWORD readDelayMs = 0;   // pause before the server starts reading
};

class LoopbackServer {
public:
    explicit LoopbackServer(ServerScript script = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool Listening() const { return listener_ != INVALID_SOCKET; }
    unsigned short Port() const { return port_; }
    // Waits until the session is over; the bytes the client sent, in order.
    bool WaitForSession(DWORD timeoutMs);
    const std::vector<unsigned char>& Received() const { return received_; }
    // True when the stream ended in an error (a reset) rather than the client's orderly close.
    bool EndedInError() const { return endedInError_; }
    bool Accepted() const { return accepted_; }
    // Ends a held connection (Greeting::never).
    void Release();

private:
    void Serve();

    ServerScript script_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    HANDLE release_ = nullptr;
    HANDLE done_ = nullptr;
    std::vector<unsigned char> received_;
    std::atomic<bool> accepted_{false};
    bool endedInError_ = false;
    std::thread thread_;
};

// A loopback port with nothing listening on it (bound once, then closed).
unsigned short UnusedPort();

// Makes sure Windows Sockets is started for the test process.
void StartSockets();

} // namespace transfer_test
