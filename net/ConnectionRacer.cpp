// The attempts of one connection and the race between them, on the calling thread.
#include "net/ConnectionRacer.h"

#include "framework/Exceptions.h"
#include "net/SocketMessages.h"
#include "net/SocketRegistry.h"
#include "net/WinsockCalls.h"

#include <memory>

namespace {

constexpr long kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
// The longest sleep between two looks at the attempts. Wine now and then misses the wake-up for a
// notification, and a connect's outcome has only the one; each attempt's socket is asked too.
constexpr DWORD kOutcomeCheckMilliseconds = 100;

// One address's attempt: it owns the socket it connects and knows how that ended.
class ConnectAttempt : public CAsyncSocket {
public:
    static constexpr int kUnderWay = -1;

    explicit ConnectAttempt(const ServerAddress& address) noexcept : address_(address) {}

    // Makes the socket and starts the connect; a connect that ends at once is decided here.
    void Start() {
        if (!AllocateHandle(SOCK_STREAM, kAllEvents, 0, address_.Family())) {
            Conclude(winsock::LastError());
            return;
        }
        if (winsock::Connect(GetSocketHandle(), address_.Get(), address_.length) != SOCKET_ERROR) {
            Conclude(0);
            return;
        }
        const int error = winsock::LastError();
        if (error != WSAEWOULDBLOCK) Conclude(error);
    }

    // The first outcome stands; 0 is a connection, and an error of 0 never counts as a failure.
    void Conclude(int error) noexcept {
        if (outcome_ == kUnderWay) outcome_ = error;
    }

    // Asks the socket itself, for a notification that may never come.
    void CheckNow() {
        if (outcome_ != kUnderWay || GetSocketHandle() == INVALID_SOCKET) return;
        const int outcome = winsock::ConnectOutcomeNow(GetSocketHandle());
        if (outcome != -1) Conclude(outcome);
    }

    int Outcome() const noexcept { return outcome_; }
    bool Connected() const noexcept { return outcome_ == 0; }
    bool Failed() const noexcept { return outcome_ != kUnderWay && outcome_ != 0; }

private:
    ServerAddress address_;
    int outcome_ = kUnderWay;
};

class ConnectionRacer {
public:
    explicit ConnectionRacer(const std::vector<ServerAddress>& addresses) : addresses_(addresses) {}

    // The winner, or null when every attempt failed (the thread's error is the last failure's).
    ConnectAttempt* Run() {
        SocketRegistry& registry = SocketRegistry::Current();
        for (;;) {
            StartDueAttempts();
            for (const auto& attempt : attempts_)
                if (attempt->Connected()) return attempt.get();
            if (next_ == addresses_.size() && NoneUnderWay()) {
                winsock::SetLastError(lastError_);
                return nullptr;
            }
            WaitForNews(registry);
            TakeNotifications(registry);
            for (const auto& attempt : attempts_) attempt->CheckNow();
            ForgetFailed();
        }
    }

private:
    // The next attempt starts when none is under way, when the latest has failed, or when the
    // latest has had its delay without an answer; one that fails at once lets the next go too.
    void StartDueAttempts() {
        while (next_ < addresses_.size()) {
            const bool latestAnswered = latest_ == nullptr || latest_->Outcome() != ConnectAttempt::kUnderWay;
            if (!latestAnswered && GetTickCount() - latestStart_ < kConnectionAttemptDelayMilliseconds) return;
            attempts_.push_back(std::make_unique<ConnectAttempt>(addresses_[next_++]));
            latest_ = attempts_.back().get();
            latestStart_ = GetTickCount();
            latest_->Start();
            if (latest_->Connected()) return;
            ForgetFailed();
        }
    }

    bool NoneUnderWay() const noexcept {
        for (const auto& attempt : attempts_)
            if (attempt->Outcome() == ConnectAttempt::kUnderWay) return false;
        return true;
    }

    // A failed attempt is closed at once; its error is kept for the caller should all fail.
    void ForgetFailed() {
        for (auto it = attempts_.begin(); it != attempts_.end();) {
            if ((*it)->Failed()) {
                lastError_ = (*it)->Outcome();
                if (it->get() == latest_) latest_ = nullptr; // answered: the next may start at once
                it = attempts_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Until a notification arrives, the next attempt is due, or the next look at the sockets.
    void WaitForNews(SocketRegistry& registry) const {
        DWORD timeout = kOutcomeCheckMilliseconds;
        if (next_ < addresses_.size() && latest_ != nullptr) {
            const DWORD waited = GetTickCount() - latestStart_;
            const DWORD left = waited >= kConnectionAttemptDelayMilliseconds ? 0
                                                                             : kConnectionAttemptDelayMilliseconds - waited;
            if (left < timeout) timeout = left;
        }
        MSG message;
        // A notification already queued must not wait for the time-out.
        if (PeekMessageA(&message, registry.NotificationWindow(), SOCKET_NOTIFY_MESSAGE, SOCKET_DEAD_MESSAGE,
                         PM_NOREMOVE))
            return;
        // Should the wait be refused, a plain sleep keeps the loop from spinning; the sockets are
        // asked after it all the same.
        if (timeout > 0 && MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_POSTMESSAGE, 0) == WAIT_FAILED)
            ::Sleep(timeout);
    }

    // Takes the thread's socket notifications out of its queue: a connect notification of an
    // attempt decides it; every other notification is set aside in order, as a blocking call's
    // wait does, and reaches its socket once the thread dispatches again.
    void TakeNotifications(SocketRegistry& registry) {
        MSG message;
        while (PeekMessageA(&message, registry.NotificationWindow(), SOCKET_NOTIFY_MESSAGE, SOCKET_DEAD_MESSAGE,
                            PM_REMOVE)) {
            if (message.wParam == 0 && message.lParam == 0) continue; // a wake-up
            if (message.message == SOCKET_NOTIFY_MESSAGE && EventBit(message.lParam) == FD_CONNECT) {
                if (ConnectAttempt* attempt = Find(static_cast<SOCKET>(message.wParam))) {
                    attempt->Conclude(EventError(message.lParam));
                    continue;
                }
            }
            try {
                registry.DeferNotification(message.message, static_cast<SOCKET>(message.wParam), message.lParam);
            } catch (CException* e) {
                e->Delete(); // lost, as a blocking wait loses it
            }
        }
    }

    ConnectAttempt* Find(SOCKET handle) const noexcept {
        for (const auto& attempt : attempts_)
            if (attempt->GetSocketHandle() == handle) return attempt.get();
        return nullptr;
    }

    const std::vector<ServerAddress>& addresses_;
    size_t next_ = 0;
    std::vector<std::unique_ptr<ConnectAttempt>> attempts_;
    ConnectAttempt* latest_ = nullptr;
    DWORD latestStart_ = 0;
    int lastError_ = WSAECONNREFUSED;
};

} // namespace

bool ConnectToAnyAddress(CSocket& socket, const std::vector<ServerAddress>& addresses) {
    if (addresses.empty()) {
        winsock::SetLastError(WSAEINVAL);
        return false;
    }
    if (socket.IsWaiting()) {
        winsock::SetLastError(WSAEINPROGRESS);
        return false;
    }
    ConnectionRacer racer(addresses);
    ConnectAttempt* winner = racer.Run();
    if (winner == nullptr) return false;
    // The losers close with the racer, after the winner's handle has moved on.
    socket.TakeHandleFrom(*winner);
    socket.connectError = 0;
    return true;
}

bool ConnectToServer(CSocket& socket, const CText& host, unsigned port) {
    std::vector<ServerAddress> addresses;
    if (!ResolveServerAddresses(host, port, addresses)) return false;
    if (addresses.size() == 1 && addresses.front().Family() == AF_INET)
        return socket.ConnectAddress(addresses.front().Get(), addresses.front().length);
    return ConnectToAnyAddress(socket, addresses);
}
