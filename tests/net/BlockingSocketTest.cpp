// The blocking socket: large sends arriving whole, calls made while a wait is in progress,
// closing a waiting socket, and finishing a conversation without losing what was sent.
#include "net/Socket.h"
#include "net/SocketMessages.h"
#include "net/SocketRegistry.h"
#include "framework/WinThread.h"
#include "tests/support/LoopbackPeer.h"

#include <atomic>
#include <thread>

#include <vector>

namespace {
std::vector<char> Pattern(size_t length) {
    std::vector<char> bytes(length);
    unsigned state = 12345;
    for (char& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

void ConnectTo(CSocket& socket, const LoopbackPeer& listener) {
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    ASSERT_TRUE(socket.ConnectToHost("127.0.0.1", listener.port())) << WSAGetLastError();
}

// A socket that, the first time its wait sees queued messages, runs a probe (a nested call, a
// close) from inside the wait.
class ProbingSocket : public CSocket {
public:
    std::function<void(ProbingSocket&)> probe;
    bool probed = false;

    bool OnMessagesWaiting() override {
        if (!probed && probe) {
            probed = true;
            probe(*this);
        }
        return CSocket::OnMessagesWaiting();
    }
};

// Something queued for the thread, so that a wait consults OnMessagesWaiting.
void QueueForeignMessage() { PostThreadMessageA(GetCurrentThreadId(), WM_APP + 7, 0, 0); }
void DropForeignMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_APP + 7, WM_APP + 7, PM_REMOVE)) {
    }
}
} // namespace

class BlockingSocket : public NetTest {};

TEST_F(BlockingSocket, SendBytesDeliversThirtyTwoMebibytesExactly) {
    const std::vector<char> payload = Pattern(32u << 20);
    std::string received;
    LoopbackPeer listener([&received](SOCKET c) { received = peer::ReceiveAll(c); });
    CSocket socket;
    ConnectTo(socket, listener);
    EXPECT_EQ(socket.SendBytes(payload.data(), static_cast<int>(payload.size()), 0),
              static_cast<int>(payload.size()));
    EXPECT_EQ(socket.SendBytes(payload.data(), 0, 0), 0);
    EXPECT_EQ(socket.SendBytes(payload.data(), -5, 0), 0);
    EXPECT_TRUE(socket.FinishSending(10000));
    socket.CloseSocketHandle();
    listener.Join();
    ASSERT_EQ(received.size(), payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), received.begin()));
}

TEST_F(BlockingSocket, ACallMadeDuringAWaitIsRefusedWithInProgress) {
    LoopbackPeer listener(peer::SendFourBytesLate(400, "late"));
    ProbingSocket socket;
    ConnectTo(socket, listener);
    struct Seen {
        bool waiting = false;
        int receive = -2, receiveError = 0;
        int send = -2, sendError = 0;
        bool connect = true;
        int connectError = 0;
        int chunk = -2, chunkError = 0;
        bool stillWaiting = false;
    } seen;
    socket.probe = [&seen](ProbingSocket& s) {
        seen.waiting = s.IsWaiting();
        char buffer[4];
        seen.receive = s.ReceiveBytes(buffer, 4, 0);
        seen.receiveError = WSAGetLastError();
        seen.send = s.SendBytes("x", 1, 0);
        seen.sendError = WSAGetLastError();
        sockaddr address = {};
        seen.connect = s.ConnectAddress(&address, sizeof address);
        seen.connectError = WSAGetLastError();
        // The single send inside SendBytes is public too, and must not start a nested wait.
        seen.chunk = s.SendChunk("y", 1, 0);
        seen.chunkError = WSAGetLastError();
        seen.stillWaiting = s.IsWaiting();
    };
    QueueForeignMessage();
    char buffer[4];
    EXPECT_EQ(socket.ReceiveBytes(buffer, 4, 0), 4); // the outer call is undisturbed
    DropForeignMessages();
    ASSERT_TRUE(socket.probed);
    EXPECT_TRUE(seen.waiting);
    EXPECT_EQ(seen.receive, 0);
    EXPECT_EQ(seen.receiveError, WSAEINPROGRESS);
    EXPECT_EQ(seen.send, 0);
    EXPECT_EQ(seen.sendError, WSAEINPROGRESS);
    EXPECT_FALSE(seen.connect);
    EXPECT_EQ(seen.connectError, WSAEINPROGRESS);
    EXPECT_EQ(seen.chunk, 0);
    EXPECT_EQ(seen.chunkError, WSAEINPROGRESS);
    EXPECT_TRUE(seen.stillWaiting);
    EXPECT_FALSE(socket.IsWaiting());
}

TEST_F(BlockingSocket, ClosingDuringAWaitEndsItWithInterrupted) {
    LoopbackPeer listener([](SOCKET c) { peer::ReceiveAll(c, 3000); });
    ProbingSocket socket;
    ConnectTo(socket, listener);
    socket.probe = [](ProbingSocket& s) { s.CloseSocketHandle(); };
    // The cancel must be noticed at once: a wait that only saw it at its next timer tick would
    // first see the peer's close and report the end of the stream instead.
    socket.pollInterval = 600000;
    QueueForeignMessage();
    char buffer[4];
    EXPECT_EQ(socket.ReceiveBytes(buffer, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);
    DropForeignMessages();
    EXPECT_EQ(socket.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_FALSE(socket.IsWaiting());
    EXPECT_EQ(SocketRegistry::Current().NotificationWindow(), nullptr);
}

TEST_F(BlockingSocket, ATimerTickEndsAWaitWithoutAnyEvent) {
    // The peer stays silent and keeps the connection until released, so only the tick can end it.
    std::atomic<bool> released{false};
    LoopbackPeer listener([&released](SOCKET) {
        for (int i = 0; i < 6000 && !released; ++i) Sleep(10);
    });
    CSocket socket;
    ConnectTo(socket, listener);
    socket.pollInterval = 100;
    PumpMessages(); // the connect's own notifications
    EXPECT_TRUE(socket.WaitForEvent(FD_READ));
    EXPECT_EQ(socket.closeError, -1);
    EXPECT_FALSE(socket.IsWaiting());
    released = true;
}

// The peer sends more than the client reads and only then reads slowly: a plain close would
// reset the connection with the frame still unread on the peer's side.
TEST_F(BlockingSocket, FinishSendingDrainsExtraBytesSoThePeerGetsEverything) {
    const std::vector<char> payload = Pattern(8u << 20);
    std::string received;
    LoopbackPeer listener([&received](SOCKET c) {
        peer::SendAll(c, "GREETING-AND-MORE", 17);
        Sleep(300);
        received = peer::ReceiveAll(c);
    });
    CSocket socket;
    ConnectTo(socket, listener);
    char greeting[4];
    ASSERT_EQ(socket.ReceiveBytes(greeting, 4, 0), 4);
    ASSERT_EQ(socket.SendBytes(payload.data(), static_cast<int>(payload.size()), 0), static_cast<int>(payload.size()));
    EXPECT_TRUE(socket.FinishSending(10000)) << WSAGetLastError();
    socket.CloseSocketHandle();
    listener.Join();
    ASSERT_EQ(received.size(), payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), received.begin()));
}

// Wine delivers a peer's reset as an orderly close, so the reset is staged here the way Windows
// reports it: a close notification carrying WSAECONNRESET ahead of the end of the stream.
// The peer has gone before the half-close, so the end of the stream is read at once, while the
// close notification that tells of the reset still waits in the queue.
TEST_F(BlockingSocket, FinishSendingFailsWhenTheCloseNotificationReportsAReset) {
    LoopbackPeer listener([](SOCKET c) { peer::ReceiveUpTo(c, 5, 30000); });
    CSocket socket;
    ConnectTo(socket, listener);
    ASSERT_TRUE(PostMessageA(SocketRegistry::Current().NotificationWindow(), SOCKET_NOTIFY_MESSAGE,
                             static_cast<WPARAM>(socket.GetSocketHandle()), MAKELPARAM(FD_CLOSE, WSAECONNRESET)));
    ASSERT_EQ(socket.SendBytes("frame", 5, 0), 5);
    listener.Join();
    EXPECT_FALSE(socket.FinishSending(5000));
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    socket.CloseSocketHandle();
    listener.Join();
}

TEST_F(BlockingSocket, FinishSendingKeepsToItsBoundWhenThePeerNeverCloses) {
    std::atomic<bool> released{false};
    LoopbackPeer listener([&released](SOCKET c) {
        peer::ReceiveAll(c, 30000); // reads the half-close, then holds the connection open
        for (int i = 0; i < 3000 && !released; ++i) Sleep(10);
    });
    CSocket socket;
    ConnectTo(socket, listener);
    const DWORD start = GetTickCount();
    EXPECT_FALSE(socket.FinishSending(300));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    EXPECT_GE(elapsed, 250u);
    released = true;
}

// The wait's timer is killed behind its back before the cancel, so the wait's own KillTimer
// fails, and a failing KillTimer sets the thread's last error, the same slot as the Winsock
// error. The interrupted call must still report WSAEINTR.
TEST_F(BlockingSocket, ACancelledWaitReportsInterruptedEvenWhenItsTimerKillFails) {
    LoopbackPeer listener([](SOCKET c) { peer::ReceiveAll(c, 3000); });
    ProbingSocket socket;
    ConnectTo(socket, listener);
    PumpMessages(); // the connect's own notifications
    socket.pollInterval = 50;
    bool killedTimer = false;
    socket.probe = [&killedTimer](ProbingSocket& s) {
        // The thread's only timer is the wait's: find its identifier from its first tick.
        MSG tick;
        for (int i = 0; i < 500 && !PeekMessageA(&tick, nullptr, WM_TIMER, WM_TIMER, PM_NOREMOVE); ++i) Sleep(10);
        if (PeekMessageA(&tick, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
            killedTimer = KillTimer(nullptr, tick.wParam) != FALSE;
        s.CloseSocketHandle();
    };
    QueueForeignMessage();
    char buffer[4];
    EXPECT_EQ(socket.ReceiveBytes(buffer, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);
    DropForeignMessages();
    EXPECT_TRUE(killedTimer);
}

namespace {
// A thread object that counts its idle passes and can close a socket from one.
class IdleCountingThread : public CWinThread {
public:
    bool RunIdlePass(LONG count) override {
        counts.push_back(count);
        if (closeFromIdle != nullptr) closeFromIdle->CloseSocketHandle();
        return false;
    }
    std::vector<LONG> counts;
    CSocket* closeFromIdle = nullptr;
};

// Asks for the idle pass once, when the wait first sees foreign messages queued.
class IdleAskingSocket : public CSocket {
public:
    bool OnMessagesWaiting() override {
        CSocket::OnMessagesWaiting();
        if (asked) return false;
        asked = true;
        return true;
    }
    bool asked = false;
};
} // namespace

// The idle pass runs on the waiting thread's own thread object, and code in it may close the
// socket, which ends the wait at once with WSAEINTR.
TEST_F(BlockingSocket, AWaitWhoseHookAsksForIdleRunsTheThreadsIdlePass) {
    LoopbackPeer listener(peer::SendFourBytesLate(1500, "late"));
    struct Outcome {
        bool current = false, connected = false, asked = false;
        int received = -2, error = 0;
        std::vector<LONG> counts;
    } outcome;
    // A thread of its own, so that its thread object is current there and nowhere else.
    std::thread waiter([&listener, &outcome] {
        IdleCountingThread threadObject;
        outcome.current = threadObject.MakeCurrent();
        IdleAskingSocket socket;
        threadObject.closeFromIdle = &socket;
        outcome.connected = socket.OpenSocket(0, SOCK_STREAM, 63, nullptr) &&
                            socket.ConnectToHost("127.0.0.1", listener.port());
        if (outcome.connected) {
            PumpMessages();
            QueueForeignMessage();
            char buffer[4];
            outcome.received = socket.ReceiveBytes(buffer, 4, 0);
            outcome.error = WSAGetLastError();
            DropForeignMessages();
        }
        outcome.asked = socket.asked;
        outcome.counts = threadObject.counts;
        threadObject.closeFromIdle = nullptr;
    });
    waiter.join();
    ASSERT_TRUE(outcome.current);
    ASSERT_TRUE(outcome.connected);
    EXPECT_TRUE(outcome.asked);
    EXPECT_EQ(outcome.counts, std::vector<LONG>{-1});
    EXPECT_EQ(outcome.received, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINTR);
}
