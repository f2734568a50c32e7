// The fault injector behind the call seam, for test programs only.
#include "tests/support/FaultInjector.h"

#include <atomic>

namespace {
std::atomic<unsigned> callsMade{0};
std::atomic<unsigned> kindCalls{0};
std::atomic<unsigned> armedNumber{0}; // 0: nothing armed
std::atomic<int> armedKind{-1};       // -1: any kind
std::atomic<int> armedError{0};
std::atomic<bool> fired{false};
std::atomic<int> largestSend{0};

std::atomic<int> stagedCloseError{0};
std::atomic<int> receiveErrorAfterShutdown{0};
std::atomic<bool> shutdownMade{false};
std::atomic<unsigned> closeNotificationsChanged{0};
std::atomic<unsigned> receivesFailed{0};
} // namespace

namespace faults {

void Reset() {
    armedNumber = 0;
    armedKind = -1;
    armedError = 0;
    callsMade = 0;
    kindCalls = 0;
    fired = false;
    largestSend = 0;
}

void FailCall(unsigned callNumber, int error) {
    Reset();
    armedError = error;
    armedNumber = callNumber;
}

void FailCallOfKind(winsock::Call kind, unsigned n, int error) {
    Reset();
    armedKind = static_cast<int>(kind);
    armedError = error;
    armedNumber = n;
}

unsigned CallsMade() { return callsMade; }
bool Fired() { return fired; }
int LargestSend() { return largestSend; }

int DefaultError(winsock::Call kind) {
    using winsock::Call;
    switch (kind) {
    case Call::Startup: return WSASYSNOTREADY;
    case Call::Socket: return WSAENOBUFS;
    case Call::Bind: return WSAEADDRINUSE;
    case Call::Connect: return WSAECONNREFUSED;
    case Call::Accept: return WSAECONNABORTED;
    case Call::Send:
    case Call::Recv:
    case Call::SendTo:
    case Call::RecvFrom: return WSAECONNRESET;
    case Call::Select: return WSAEINVAL;
    case Call::Shutdown: return WSAENOTCONN;
    case Call::Resolve: return WSAHOST_NOT_FOUND;
    case Call::CreateWindow: return ERROR_NOT_ENOUGH_MEMORY;
    case Call::SetTimer: return ERROR_NO_SYSTEM_RESOURCES;
    // The security calls answer with their own status codes (net/SecurityCalls.h); this is only
    // the thread's last error beside them.
    case Call::AcquireCredentials:
    case Call::InitializeContext:
    case Call::QueryContext:
    case Call::Encrypt:
    case Call::Decrypt:
    case Call::ApplyControlToken: return ERROR_NOT_ENOUGH_MEMORY;
    case Call::GetCertificateChain:
    case Call::VerifyChainPolicy:
    case Call::HashPublicKey: return ERROR_OUTOFMEMORY;
    }
    return WSAEFAULT;
}

void StageReports(const ReportStaging& staging) {
    stagedCloseError = staging.closeError;
    receiveErrorAfterShutdown = staging.receiveErrorAfterShutdown;
    shutdownMade = false;
    closeNotificationsChanged = 0;
    receivesFailed = 0;
}

ReportsSeen Seen() {
    ReportsSeen seen;
    seen.closeNotificationsChanged = closeNotificationsChanged;
    seen.receivesFailed = receivesFailed;
    return seen;
}

} // namespace faults

namespace winsock {

bool InjectFailure(Call call, int length) noexcept {
    if (call == Call::Shutdown) shutdownMade = true;
    const int receiveError = receiveErrorAfterShutdown;
    if (call == Call::Recv && receiveError != 0 && shutdownMade) {
        ++receivesFailed;
        ::WSASetLastError(receiveError);
        return true;
    }
    if (call == Call::Send) {
        int seen = largestSend;
        while (length > seen && !largestSend.compare_exchange_weak(seen, length)) {
        }
    }
    unsigned number = ++callsMade;
    if (armedKind >= 0) {
        if (static_cast<int>(call) != armedKind) return false;
        number = ++kindCalls;
    }
    unsigned armed = armedNumber;
    if (armed == 0 || number != armed) return false;
    bool expected = false;
    if (!fired.compare_exchange_strong(expected, true)) return false;
    int error = armedError != 0 ? armedError.load() : faults::DefaultError(call);
    if (call == Call::CreateWindow || call == Call::SetTimer || call >= Call::AcquireCredentials)
        ::SetLastError(static_cast<DWORD>(error));
    else
        ::WSASetLastError(error);
    return true;
}

} // namespace winsock

namespace winsock {

void SendReturned(SOCKET, int) noexcept {}

bool NotificationTaken(SOCKET, LPARAM& eventWord) noexcept {
    const int closeError = stagedCloseError;
    if (LOWORD(static_cast<DWORD>(eventWord)) == FD_CLOSE && closeError != 0) {
        eventWord = static_cast<LPARAM>(WSAMAKESELECTREPLY(FD_CLOSE, closeError));
        ++closeNotificationsChanged;
    }
    return true;
}

void TimerTicked(unsigned, DWORD) noexcept {}

} // namespace winsock
