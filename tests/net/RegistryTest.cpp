// The per-thread registry: the notification window's life, routing by event, dead marks for
// closed handles, wake-ups, and notifications a wait set aside for another socket.
#include "net/Socket.h"
#include "net/SocketMessages.h"
#include "net/SocketRegistry.h"
#include "framework/Exceptions.h"
#include "tests/net/FailingAllocation.h"
#include "tests/support/LoopbackPeer.h"

#include <memory>
#include <string>
#include <vector>

namespace {
// Records every notification it is handed, as "event:error".
class RecordingSocket : public CAsyncSocket {
public:
    // The tests hand it handle numbers nobody holds, and take them back without closing them.
    using CAsyncSocket::AdoptHandle;
    using CAsyncSocket::ReleaseHandle;
    std::vector<std::string> seen;
    void OnReadReady(int e) override { Note("read", e); }
    void OnWriteReady(int e) override { Note("write", e); }
    void OnUrgentData(int e) override { Note("oob", e); }
    void OnAcceptReady(int e) override { Note("accept", e); }
    void OnConnectDone(int e) override { Note("connect", e); }
    void OnPeerClosed(int e) override { Note("close", e); }

private:
    void Note(const char* what, int error) { seen.push_back(std::string(what) + ":" + std::to_string(error)); }
};

std::string WindowTitle(HWND window) {
    char title[64] = {};
    GetWindowTextA(window, title, sizeof title);
    return title;
}

void Post(SOCKET handle, unsigned bit, int error = 0) {
    PostMessageA(SocketRegistry::Current().NotificationWindow(), SOCKET_NOTIFY_MESSAGE, static_cast<WPARAM>(handle),
                 MAKELONG(bit, error));
}
} // namespace

class Registry : public NetTest {};

TEST_F(Registry, TheWindowLivesExactlyWhileTheThreadHasASocket) {
    SocketRegistry& registry = SocketRegistry::Current();
    ASSERT_EQ(registry.NotificationWindow(), nullptr);
    HWND first;
    {
        CSocket a, b;
        ASSERT_TRUE(a.OpenSocket(0, SOCK_STREAM, 63, nullptr));
        first = registry.NotificationWindow();
        ASSERT_TRUE(IsWindow(first));
        EXPECT_FALSE(IsWindowVisible(first));
        EXPECT_EQ(WindowTitle(first), "Socket Notification Sink");
        ASSERT_TRUE(b.OpenSocket(0, SOCK_STREAM, 63, nullptr));
        EXPECT_EQ(registry.NotificationWindow(), first); // one window per thread
        const SOCKET closed = a.GetSocketHandle();
        a.CloseSocketHandle();
        a.CloseSocketHandle(); // a second close does nothing
        EXPECT_TRUE(IsWindow(first));
        EXPECT_EQ(registry.FindDead(closed), 1);
    } // destroying b closes the thread's last socket
    EXPECT_EQ(registry.NotificationWindow(), nullptr);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_FALSE(registry.HasLiveHandles());
    EXPECT_FALSE(registry.HasDeadHandles()); // a's mark went with the window
    CSocket c;
    ASSERT_TRUE(c.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    EXPECT_TRUE(IsWindow(registry.NotificationWindow()));
}

TEST_F(Registry, NotificationsAreRoutedByEventBitWithTheErrorFromTheHighWord) {
    RecordingSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 0, nullptr)); // mask 0: only what the test posts
    for (unsigned bit : {FD_READ, FD_WRITE, FD_OOB, FD_ACCEPT, FD_CONNECT, FD_CLOSE, 64, 3})
        Post(socket.GetSocketHandle(), bit, bit == static_cast<unsigned>(FD_CONNECT) ? WSAECONNREFUSED : 0);
    PumpMessages();
    EXPECT_EQ(socket.seen, (std::vector<std::string>{"read:0", "write:0", "oob:0", "accept:0", "connect:10061",
                                                      "close:0"}));
}

TEST_F(Registry, WakeUpsNeverReachASocket) {
    // Even a socket waiting under the invalid handle for an accepted connection stays untouched.
    RecordingSocket keeper, target;
    ASSERT_TRUE(keeper.OpenSocket(0, SOCK_STREAM, 0, nullptr));
    SocketRegistry& registry = SocketRegistry::Current();
    registry.RegisterHandle(INVALID_SOCKET, &target);
    Post(0, 0);
    PumpMessages();
    EXPECT_TRUE(keeper.seen.empty());
    EXPECT_TRUE(target.seen.empty());
    EXPECT_EQ(target.GetSocketHandle(), INVALID_SOCKET);
    registry.ForgetHandle(INVALID_SOCKET);
}

TEST_F(Registry, NotificationsForAClosedHandleAreDroppedEvenAfterTheNumberIsReused) {
    CSocket keeper; // keeps the window alive while the other socket closes
    ASSERT_TRUE(keeper.OpenSocket(0, SOCK_STREAM, 0, nullptr));
    SocketRegistry& registry = SocketRegistry::Current();
    RecordingSocket closed;
    ASSERT_TRUE(closed.OpenSocket(0, SOCK_STREAM, 0, nullptr));
    const SOCKET handle = closed.GetSocketHandle();
    Post(handle, FD_READ); // queued before the close, as Winsock would have
    closed.CloseSocketHandle();
    EXPECT_EQ(registry.FindDead(handle), 1);

    // A new socket given the same number before the stale messages are gone.
    RecordingSocket reuser;
    reuser.AdoptHandle(handle);
    registry.RegisterHandle(handle, &reuser);
    PumpMessages();
    EXPECT_TRUE(closed.seen.empty());
    EXPECT_TRUE(reuser.seen.empty());
    EXPECT_EQ(registry.FindDead(handle), 0); // its confirmation has been handled

    Post(handle, FD_WRITE); // from now on the number is the new socket's
    PumpMessages();
    EXPECT_EQ(reuser.seen, std::vector<std::string>{"write:0"});
    registry.ForgetHandle(handle);
    reuser.ReleaseHandle();
}

TEST_F(Registry, AWaitSetsOtherSocketsNotificationsAsideAndTheyArriveInOrderLater) {
    LoopbackPeer listener(peer::SendFourBytesLate(300, "data"));
    RecordingSocket other;
    ASSERT_TRUE(other.OpenSocket(0, SOCK_STREAM, 0, nullptr));
    CSocket waiter;
    ASSERT_TRUE(waiter.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    ASSERT_TRUE(waiter.ConnectToHost("127.0.0.1", listener.port()));
    SocketRegistry& registry = SocketRegistry::Current();
    PumpMessages();
    Post(other.GetSocketHandle(), FD_READ);
    Post(other.GetSocketHandle(), FD_CLOSE, WSAECONNRESET);
    char buffer[4];
    ASSERT_EQ(waiter.ReceiveBytes(buffer, 4, 0), 4);
    EXPECT_TRUE(other.seen.empty()); // nothing ran during the wait
    EXPECT_EQ(registry.PendingCount(), 2u);
    PumpMessages(); // the wait's wake-up delivers them
    EXPECT_EQ(other.seen, (std::vector<std::string>{"read:0", "close:10054"}));
    EXPECT_EQ(registry.PendingCount(), 0u);
}

// Closing in a destructor must not throw: without memory for the closed handle's dead mark the
// socket is still destroyed, its handle is forgotten and the thread's other socket is unharmed.
TEST_F(Registry, DestroyingASocketWithoutMemoryForItsDeadMarkStillClosesIt) {
    CSocket keeper;
    ASSERT_TRUE(keeper.OpenSocket(0, SOCK_STREAM, 0, nullptr));
    SocketRegistry& registry = SocketRegistry::Current();
    SOCKET handle = INVALID_SOCKET;
    unsigned refused = 0;
    {
        auto closed = std::make_unique<CSocket>();
        ASSERT_TRUE(closed->OpenSocket(0, SOCK_STREAM, 0, nullptr));
        handle = closed->GetSocketHandle();
        allocation::FailureScope noMemory;
        closed.reset(); // std::terminate here when the close throws
        refused = allocation::Refused();
    }
    EXPECT_GE(refused, 1u); // the mark really needed memory
    EXPECT_EQ(registry.FindLive(handle), nullptr);
    EXPECT_EQ(registry.FindDead(handle), 0);
    PumpMessages(); // no confirmation was left queued for an unmarked handle
    EXPECT_EQ(registry.FindDead(handle), 0);
    EXPECT_TRUE(IsWindow(registry.NotificationWindow()));
    EXPECT_EQ(registry.FindLive(keeper.GetSocketHandle()), &keeper);
}

// The first notification of an accepted connection moves its target from the invalid handle to
// the new one. Without memory for the new entry the target must stay where it was, and only
// a framework exception may leave the window's handler.
TEST_F(Registry, AClaimWithoutMemoryKeepsTheAcceptTargetRegistered) {
    RecordingSocket keeper, target;
    ASSERT_TRUE(keeper.OpenSocket(0, SOCK_STREAM, 0, nullptr));
    SocketRegistry& registry = SocketRegistry::Current();
    registry.RegisterHandle(INVALID_SOCKET, &target);
    const SOCKET accepted = keeper.GetSocketHandle() + 4000; // a number nobody holds
    bool frameworkException = false;
    try {
        allocation::FailureScope noMemory;
        registry.DeliverNotification(accepted, FD_READ);
    } catch (CException* e) {
        frameworkException = e == CMemoryException::Shared();
        e->Delete();
    } catch (...) {
    }
    EXPECT_TRUE(frameworkException);
    EXPECT_EQ(registry.FindLive(INVALID_SOCKET), &target);
    EXPECT_EQ(registry.FindLive(accepted), nullptr);
    EXPECT_EQ(target.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_TRUE(target.seen.empty());

    // With memory back the same notification claims the target.
    registry.DeliverNotification(accepted, FD_READ);
    EXPECT_EQ(registry.FindLive(accepted), &target);
    EXPECT_EQ(registry.FindLive(INVALID_SOCKET), nullptr);
    EXPECT_EQ(target.GetSocketHandle(), accepted);
    EXPECT_EQ(target.seen, std::vector<std::string>{"read:0"});
    registry.ForgetHandle(accepted);
    target.ReleaseHandle();
}
