// The blocking socket: every call that would block waits in a private message loop that takes
// out only this thread's socket notifications and its own timer ticks.
#include "net/Socket.h"

#include "framework/Exceptions.h"
#include "framework/WinThread.h"
#include "net/SocketMessages.h"
#include "net/SocketRegistry.h"
#include "net/WinsockCalls.h"

IMPLEMENT_RUNTIME_CLASS(CSocket, CAsyncSocket)

namespace {
// Clears the socket's reference to the wait's flag on every way out of the wait, including the
// exception when the timer cannot be started.
class WaitFlagScope {
public:
    WaitFlagScope(bool*& slot, bool& flag) noexcept : slot_(slot), flag_(flag) { slot_ = &flag_; }
    ~WaitFlagScope() {
        if (slot_ == &flag_) slot_ = nullptr;
    }
    WaitFlagScope(const WaitFlagScope&) = delete;
    WaitFlagScope& operator=(const WaitFlagScope&) = delete;

private:
    bool*& slot_;
    bool& flag_;
};

class ThreadTimer {
public:
    explicit ThreadTimer(DWORD milliseconds) : id_(winsock::SetThreadTimer(milliseconds)) {
        if (id_ == 0) ThrowResourceException();
    }
    ~ThreadTimer() { Kill(); }
    // KillTimer sets the thread's last error when it fails, and that is the same slot as the
    // Winsock error: kill before the wait sets its own result. Nothing useful can be done when it
    // fails (the timer is gone already).
    void Kill() noexcept {
        if (id_ != 0) KillTimer(nullptr, id_);
        id_ = 0;
    }
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;
    UINT_PTR id() const noexcept { return id_; }

private:
    UINT_PTR id_;
};
// Sleeps until a message arrives. Wine now and then misses the wake-up for a socket notification
// posted while the thread looks at its queue, and WaitMessage then sleeps until the next timer
// tick with the notification already queued (a 256 MiB send lost 2 s that way in about one run
// of ten). With an empty queue, waiting for any input present is exact and cannot spin; with
// other messages queued (which the wait leaves alone) only new ones may wake it.
void SleepUntilMessage(bool otherMessagesQueued) {
    if (otherMessagesQueued) {
        WaitMessage();
        return;
    }
    // Should the exact wait be refused, the plain one still wakes on the next message, at the
    // latest the wait's own timer tick, so the wait can neither spin nor hang.
    if (MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_FAILED)
        WaitMessage();
}

// A socket notification or this wait's timer tick is waiting in the thread's queue. This is the
// last look before sleeping, so anything posted after it counts as new and wakes the thread.
bool OwnMessageQueued(HWND notificationWindow, UINT_PTR timerId) {
    MSG message;
    if (PeekMessageA(&message, notificationWindow, SOCKET_NOTIFY_MESSAGE, SOCKET_DEAD_MESSAGE, PM_NOREMOVE))
        return true;
    return PeekMessageA(&message, nullptr, WM_TIMER, WM_TIMER, PM_NOREMOVE) && message.wParam == timerId;
}
} // namespace

CSocket::~CSocket() {
    // The base destructor can no longer reach this class's close; cancel and deselect here.
    if (GetSocketHandle() != INVALID_SOCKET) CSocket::CloseSocketHandle();
}

bool CSocket::OnMessagesWaiting() {
    MSG message;
    if (PeekMessageA(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageA(&message);
    return false;
}

bool CSocket::WaitForEvent(unsigned eventBit) { return WaitWithTimer(eventBit, pollInterval); }

bool CSocket::WaitWithTimer(unsigned eventBit, DWORD timerMilliseconds) {
    SocketRegistry& registry = SocketRegistry::Current();
    CWinThread* thread = GetCurrentThreadObject();
    bool keepWaiting = true;
    WaitFlagScope scope(waitFlag_, keepWaiting);
    ThreadTimer timer(timerMilliseconds);

    while (keepWaiting) {
        try {
            bool tookMessage = false;
            MSG message;
            if (PeekMessageA(&message, registry.NotificationWindow(), SOCKET_NOTIFY_MESSAGE, SOCKET_DEAD_MESSAGE,
                             PM_REMOVE)) {
                tookMessage = true;
                if (message.message == SOCKET_NOTIFY_MESSAGE &&
                    static_cast<SOCKET>(message.wParam) == GetSocketHandle() && GetSocketHandle() != INVALID_SOCKET) {
                    LPARAM eventWord = message.lParam;
                    if (!winsock::NotificationTaken(GetSocketHandle(), eventWord)) continue;
                    unsigned bit = EventBit(eventWord);
                    if (bit == FD_CLOSE) {
                        if (closeError <= 0) closeError = EventError(eventWord); // a reset sticks
                        break;
                    }
                    if (bit == eventBit) {
                        if (eventBit == FD_CONNECT) connectError = EventError(eventWord);
                        break;
                    }
                }
                if (message.wParam != 0 || message.lParam != 0)
                    registry.DeferNotification(message.message, static_cast<SOCKET>(message.wParam),
                                               message.lParam);
            } else if (PeekMessageA(&message, nullptr, WM_TIMER, WM_TIMER, PM_NOREMOVE) &&
                       message.wParam == timer.id()) {
                PeekMessageA(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE);
                winsock::TimerTicked(eventBit, timerMilliseconds);
                break;
            }
            // Sleep only after a pass that took nothing out: messages already looked at no longer
            // count as new, so WaitMessage would ignore a notification queued right behind the one
            // just taken and the wait would lose up to a whole timer period.
            if (!tookMessage) {
                bool queued = PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
                bool idle = queued && OnMessagesWaiting();
                // The idle pass may close the socket or cancel the wait; the loop test sees it.
                if (idle && thread != nullptr) thread->RunIdlePass(-1);
                // Otherwise sleep, unless a paint handler closed the socket meanwhile, or one of
                // this wait's own messages arrived since the first look: the look at the whole
                // queue marks it as seen, and WaitMessage would sleep past it until the next
                // timer tick.
                if (!idle && keepWaiting && !OwnMessageQueued(registry.NotificationWindow(), timer.id()))
                    SleepUntilMessage(queued);
            }
        } catch (CException* e) {
            e->Delete(); // a notification whose record cannot be kept is lost; the wait goes on
        }
    }

    timer.Kill();
    if (!keepWaiting) {
        winsock::SetLastError(WSAEINTR);
        return false;
    }
    waitFlag_ = nullptr;
    // Makes the window deliver what this wait set aside once the thread dispatches again.
    if (registry.NotificationWindow() != nullptr)
        PostMessageA(registry.NotificationWindow(), SOCKET_NOTIFY_MESSAGE, 0, 0);
    return true;
}

bool CSocket::RefusedWhileWaiting() {
    if (!IsWaiting()) return false;
    winsock::SetLastError(WSAEINPROGRESS);
    return true;
}

template <typename Attempt>
int CSocket::RetryWhenReady(unsigned eventBit, Attempt attempt, bool waitOutBufferShortage) {
    for (;;) {
        int n = attempt();
        if (n != SOCKET_ERROR) return n;
        const int error = winsock::LastError();
        bool retry;
        if (error == WSAEWOULDBLOCK && eventBit == FD_WRITE) {
            // Windows before 10 version 1607 does not always post the write notification after a
            // refused send, so a blocked send also tries again after a short period of its own
            // instead of the poll interval: a large transfer would otherwise stall each time the
            // send buffer fills. Another refusal only costs one more short wait.
            retry = WaitWithTimer(eventBit, pollInterval < kBlockedSendRetryMilliseconds
                                                ? pollInterval
                                                : kBlockedSendRetryMilliseconds);
        } else if (error == WSAEWOULDBLOCK) {
            retry = WaitForEvent(eventBit);
        } else if (error == WSAENOBUFS && waitOutBufferShortage && closeError < 0) {
            // The system had no buffer for the call this time; nothing was taken. Its refusal
            // re-arms no write notification, so the tick comes sooner than the usual period. A
            // peer that goes meanwhile ends the wait with its close; a shortage that outlasts
            // the peer then ends the call instead of waiting for ever.
            retry = WaitWithTimer(eventBit, pollInterval < kBufferShortageRetryMilliseconds
                                                ? pollInterval
                                                : kBufferShortageRetryMilliseconds);
        } else {
            return SOCKET_ERROR;
        }
        if (!retry) return SOCKET_ERROR; // cancelled: WSAEINTR
    }
}

void CSocket::CancelWait() noexcept {
    if (waitFlag_ == nullptr) return;
    *waitFlag_ = false;
    waitFlag_ = nullptr;
}

bool CSocket::AcceptConnection(CAsyncSocket& target, sockaddr* address, int* addressLength) {
    if (RefusedWhileWaiting()) return false;
    return RetryWhenReady(FD_ACCEPT, [&] {
               return CAsyncSocket::AcceptConnection(target, address, addressLength) ? 0 : SOCKET_ERROR;
           }) != SOCKET_ERROR;
}

int CSocket::ReceiveBytes(void* buffer, int size, int flags) {
    if (RefusedWhileWaiting()) return 0; // 0, not -1: nothing was tried
    return RetryWhenReady(FD_READ, [&] { return CAsyncSocket::ReceiveBytes(buffer, size, flags); });
}

int CSocket::SendChunk(const void* data, int length, int flags) {
    // Public on its own: a nested wait started here would replace and then clear the outer
    // wait's flag, leaving that wait uncancellable and later calls unrefused.
    if (RefusedWhileWaiting()) return 0; // 0, not -1: nothing was tried
    const int piece = length < kLargestSend ? length : kLargestSend;
    return RetryWhenReady(FD_WRITE, [&] { return CAsyncSocket::SendBytes(data, piece, flags); }, true);
}

int CSocket::SendBytes(const void* data, int length, int flags) {
    if (RefusedWhileWaiting()) return 0; // 0, not -1: nothing was tried
    // Each send takes what fits of its piece; the pieces are large because small sends move data
    // many times slower.
    const char* next = static_cast<const char*>(data);
    int remaining = length;
    while (remaining > 0) {
        int n = SendChunk(next, remaining, flags);
        if (n == SOCKET_ERROR) return SOCKET_ERROR;
        next += n;
        remaining -= n;
        if (sendProgress != nullptr) sendProgress(sendProgressContext, n);
    }
    return length > 0 ? length : 0;
}

bool CSocket::ConnectAddress(const sockaddr* address, int length) {
    if (RefusedWhileWaiting()) return false;
    connectError = -1;
    if (CAsyncSocket::ConnectAddress(address, length)) return true;
    if (winsock::LastError() != WSAEWOULDBLOCK) return false;
    for (;;) {
        if (!WaitForEvent(FD_CONNECT)) return false;
        if (connectError != -1) break;
        // A tick or a close event. The connect notification is the only one whose loss no retry
        // would make good, so the socket itself is asked too; without an outcome, wait on.
        connectError = winsock::ConnectOutcomeNow(GetSocketHandle());
        if (connectError != -1) break;
    }
    winsock::SetLastError(connectError);
    return connectError == 0;
}

int CSocket::ReceiveFromAddress(void* buffer, int size, sockaddr* address, int* addressLength, int flags) {
    if (RefusedWhileWaiting()) return 0; // 0, not -1: nothing was tried
    return RetryWhenReady(FD_READ, [&] {
        return CAsyncSocket::ReceiveFromAddress(buffer, size, address, addressLength, flags);
    });
}

int CSocket::SendToAddress(const void* data, int length, const sockaddr* address, int addressLength, int flags) {
    if (RefusedWhileWaiting()) return 0; // 0, not -1: nothing was tried
    return RetryWhenReady(FD_WRITE, [&] {
        return CAsyncSocket::SendToAddress(data, length, address, addressLength, flags);
    });
}

void CSocket::CloseSocketHandle() {
    if (GetSocketHandle() == INVALID_SOCKET) return;
    CancelWait();
    SelectEvents(0); // no notification is posted for the handle from here on
    CAsyncSocket::CloseSocketHandle();
}

bool CSocket::FinishSending(DWORD boundMilliseconds) {
    if (RefusedWhileWaiting()) return false;
    if (winsock::Shutdown(GetSocketHandle(), 1) == SOCKET_ERROR) return false; // 1: the sending side
    const DWORD start = GetTickCount();
    // What is left of the bound; 0 once it has passed.
    auto left = [&]() -> DWORD {
        DWORD elapsed = GetTickCount() - start;
        return elapsed >= boundMilliseconds ? 0 : boundMilliseconds - elapsed;
    };
    // The period never exceeds what is left of the bound, so a quiet peer cannot hold the caller
    // for a whole poll interval beyond it.
    auto waitWithinBound = [&](unsigned eventBit, DWORD remaining) {
        return WaitWithTimer(eventBit, remaining < pollInterval ? remaining : pollInterval);
    };
    char discard[8192];
    for (;;) {
        int n = CAsyncSocket::ReceiveBytes(discard, sizeof discard, 0);
        if (n == 0) {
            // The end of the stream: an orderly close once the peer has read everything, unless
            // the close notification said the connection was reset. The end can be read before
            // that notification is taken, even before it is posted, so it is awaited within the
            // bound; when it never comes the end read stands as an orderly close.
            for (DWORD remaining; closeError < 0 && (remaining = left()) > 0;)
                if (!waitWithinBound(FD_CLOSE, remaining)) return false;
            if (closeError <= 0) return true;
            winsock::SetLastError(closeError);
            return false;
        }
        const DWORD remaining = left();
        if (n > 0) {
            if (remaining == 0) break;
            continue;
        }
        if (winsock::LastError() != WSAEWOULDBLOCK) return false;
        if (remaining == 0) break;
        if (!waitWithinBound(FD_READ, remaining)) return false;
    }
    winsock::SetLastError(WSAETIMEDOUT);
    return false;
}
