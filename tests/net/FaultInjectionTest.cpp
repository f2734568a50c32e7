// The transport with its call seam armed: every call of a whole conversation made to fail in
// turn, and the window and timer refusals that must surface as resource exceptions.
#include "framework/Exceptions.h"
#include "net/ConnectionRacer.h"
#include "tests/support/FaultInjector.h"
#include "net/SocketFile.h"
#include "net/SocketRegistry.h"
#include "tests/support/LoopbackPeer.h"

#include <algorithm>

namespace {
// One conversation as the transfer has it: open, connect, read a greeting, send, finish.
// False on the first failure, like the transfer; exceptions are caught and deleted. *reached
// tells whether the armed failure happened before the outcome was known (a failure inside the
// closing deselect changes nothing).
bool Converse(unsigned short port, int* failedError, bool* reached = nullptr) {
    bool ok = false;
    CSocket socket;
    bool noException = CatchFrameworkExceptions([&] {
        if (!socket.OpenSocket(0, SOCK_STREAM, 63, nullptr)) return;
        if (!socket.ConnectToHost("localhost", port)) return;
        CSocketFile file(socket, false);
        char greeting[4];
        if (file.ReadBuffer(greeting, 4) != 4) return;
        if (socket.SendBytes("frame", 5, 0) != 5) return;
        ok = socket.FinishSending(5000);
    });
    *failedError = ok ? 0 : (noException ? WSAGetLastError() : -1);
    if (reached != nullptr) *reached = faults::Fired();
    return ok;
}
} // namespace

// The same over addresses of both families, as a name with both gives them: resolved, then raced,
// the IPv6 address refused and the IPv4 one answering.
bool ConverseOverBothFamilies(unsigned short port, unsigned short refused, int* failedError, bool* reached) {
    bool ok = false;
    CSocket socket;
    bool noException = CatchFrameworkExceptions([&] {
        std::vector<ServerAddress> addresses;
        std::vector<ServerAddress> ipv4;
        if (!ResolveServerAddresses("::1", refused, addresses)) return;
        if (!ResolveServerAddresses("127.0.0.1", port, ipv4)) return;
        addresses.insert(addresses.end(), ipv4.begin(), ipv4.end());
        if (!socket.OpenSocket(0, SOCK_STREAM, 63, nullptr)) return;
        if (!ConnectToAnyAddress(socket, addresses)) return;
        CSocketFile file(socket, false);
        char greeting[4];
        if (file.ReadBuffer(greeting, 4) != 4) return;
        if (socket.SendBytes("frame", 5, 0) != 5) return;
        ok = socket.FinishSending(5000);
    });
    *failedError = ok ? 0 : (noException ? WSAGetLastError() : -1);
    *reached = faults::Fired();
    return ok;
}

class FaultInjection : public NetTest {
protected:
    void TearDown() override { faults::Reset(); }
};

TEST_F(FaultInjection, EveryCallOfAConversationCanFailAndIsReportedAsAFailure) {
    faults::Reset();
    {
        LoopbackPeer listener([](SOCKET c) {
            peer::SendAll(c, "GRT!", 4);
            peer::ReceiveAll(c, 3000);
        });
        int error = 0;
        ASSERT_TRUE(Converse(listener.port(), &error)) << error;
    }
    const unsigned calls = faults::CallsMade();
    ASSERT_GE(calls, 8u); // window, socket, select, bind, resolve, connect, timer, recv, send...

    // Retries on would-block make the count vary a little from run to run: go on until a run
    // ends before the armed call is reached.
    unsigned k = 1;
    for (; k <= calls + 8; ++k) {
        SCOPED_TRACE("failing call " + std::to_string(k));
        LoopbackPeer listener([](SOCKET c) {
            peer::SendAll(c, "GRT!", 4);
            peer::ReceiveAll(c, 3000);
        });
        faults::FailCall(k);
        int error = 0;
        bool reached = false;
        bool ok = Converse(listener.port(), &error, &reached);
        if (!reached) {
            EXPECT_TRUE(ok) << error; // nothing failed, so the conversation must succeed
            break;
        }
        EXPECT_FALSE(ok) << "an injected failure was reported as success";
        EXPECT_NE(error, 0);
        // Whatever failed, destroying the socket leaves the thread without sockets or window.
        EXPECT_EQ(SocketRegistry::Current().NotificationWindow(), nullptr);
        EXPECT_FALSE(SocketRegistry::Current().HasLiveHandles());
        faults::Reset();
    }
    EXPECT_GE(k + 2, calls); // every call of the conversation was tried
}

// A failure in an attempt that would have lost anyway may still end in a connection; a failure
// anywhere else must fail the conversation. Either way no attempt's socket may be left behind.
TEST_F(FaultInjection, EveryCallOfARaceOverBothFamiliesCanFailWithoutLeavingASocket) {
    auto greeter = [](SOCKET c) {
        peer::SendAll(c, "GRT!", 4);
        peer::ReceiveAll(c, 3000);
    };
    const unsigned short refused = peer::UnusedPort();
    // How many calls a race makes depends on which notifications come before which look at the
    // sockets, so on a busy machine a run that goes through may make a few fewer than another (seen:
    // 21, then 18): the fewest of three good runs stands for what a whole race needs.
    unsigned calls = 0;
    for (int run = 0; run < 3; ++run) {
        faults::Reset();
        LoopbackPeer listener(greeter);
        int error = 0;
        bool reached = false;
        ASSERT_TRUE(ConverseOverBothFamilies(listener.port(), refused, &error, &reached)) << error;
        calls = run == 0 ? faults::CallsMade() : std::min(calls, faults::CallsMade());
    }
    faults::Reset();
    unsigned k = 1;
    for (; k <= calls + 8; ++k) {
        SCOPED_TRACE("failing call " + std::to_string(k));
        LoopbackPeer listener(greeter);
        faults::FailCall(k);
        int error = 0;
        bool reached = false;
        bool ok = ConverseOverBothFamilies(listener.port(), refused, &error, &reached);
        if (!reached) {
            EXPECT_TRUE(ok) << error;
            break;
        }
        if (!ok) {
            EXPECT_NE(error, 0);
        }
        EXPECT_EQ(SocketRegistry::Current().NotificationWindow(), nullptr);
        EXPECT_FALSE(SocketRegistry::Current().HasLiveHandles());
        faults::Reset();
    }
    EXPECT_GE(k + 2, calls);

    // The resolver's refusal is the name's failure, reported as an unresolvable name always was.
    faults::FailCallOfKind(winsock::Call::Resolve, 1);
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    EXPECT_FALSE(ConnectToServer(socket, "localhost", refused));
    EXPECT_TRUE(faults::Fired());
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(FaultInjection, AFailedSendReportsTheConnectionResetAndSendsNothingMore) {
    std::string received;
    LoopbackPeer listener([&received](SOCKET c) {
        peer::SendAll(c, "GRT!", 4);
        received = peer::ReceiveAll(c, 3000);
    });
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    ASSERT_TRUE(socket.ConnectToHost("127.0.0.1", listener.port()));
    faults::FailCallOfKind(winsock::Call::Send, 2);
    EXPECT_EQ(socket.SendBytes("one", 3, 0), 3);
    EXPECT_EQ(socket.SendBytes("two", 3, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    socket.CloseSocketHandle();
    listener.Join();
    EXPECT_EQ(received, "one");
}

// Windows may refuse a send for want of buffers (WSAENOBUFS), the more likely the more one call
// is handed; Wine never does, so the refusal is injected: at the first send, and at a later one
// inside the payload. The payload must arrive whole all the same, and no send may be handed more
// than the bound.
TEST_F(FaultInjection, ASendRefusedForWantOfBuffersIsTriedAgainAndNoSendIsHandedTooMuch) {
    std::string payload(24u << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 4093);
    const int length = static_cast<int>(payload.size());
    for (unsigned refused : {1u, 4u}) {
        SCOPED_TRACE("refused send " + std::to_string(refused));
        std::string received;
        LoopbackPeer listener([&received](SOCKET c) { received = peer::ReceiveAll(c); });
        CSocket socket;
        ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
        ASSERT_TRUE(socket.ConnectToHost("127.0.0.1", listener.port()));
        faults::FailCallOfKind(winsock::Call::Send, refused, WSAENOBUFS);
        EXPECT_EQ(socket.SendBytes(payload.data(), length, 0), length) << WSAGetLastError();
        EXPECT_TRUE(faults::Fired());
        EXPECT_GT(faults::LargestSend(), 0);
        EXPECT_LE(faults::LargestSend(), CSocket::kLargestSend);
        EXPECT_TRUE(socket.FinishSending(10000));
        socket.CloseSocketHandle();
        listener.Join();
        EXPECT_EQ(received.size(), payload.size());
        EXPECT_TRUE(received == payload);
    }
}

// A reset peer cannot be staged reliably on Wine's loopback (a Wine peer's close with linger 0
// still arrives as an orderly release), so the receive's failure is injected.
TEST_F(FaultInjection, AResetWhileReadingRaisesAFileExceptionWithTheWinsockError) {
    LoopbackPeer listener([](SOCKET c) {
        peer::SendAll(c, "AB", 2);
        peer::ReceiveAll(c, 3000);
    });
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    ASSERT_TRUE(socket.ConnectToHost("127.0.0.1", listener.port()));
    CSocketFile file(socket, false);
    faults::FailCallOfKind(winsock::Call::Recv, 2); // after the first bytes have been read
    char buffer[4];
    try {
        UINT n = file.ReadBuffer(buffer, 4);
        ADD_FAILURE() << "no exception, " << n << " bytes";
    } catch (CFileException* e) {
        EXPECT_EQ(e->cause, CFileException::genericException);
        EXPECT_EQ(e->osError, WSAECONNRESET);
        EXPECT_TRUE(e->fileName.IsEmpty());
        e->Delete();
    }
}

TEST_F(FaultInjection, AWaitWhoseTimerCannotStartRaisesAndLeavesNoWaitBehind) {
    LoopbackPeer listener(peer::SendFourBytesLate(200, "GRT!"));
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    ASSERT_TRUE(socket.ConnectToHost("127.0.0.1", listener.port()));
    faults::FailCallOfKind(winsock::Call::SetTimer, 1);
    char buffer[4];
    try {
        socket.ReceiveBytes(buffer, 4, 0);
        ADD_FAILURE() << "no exception";
    } catch (CException* e) {
        EXPECT_EQ(e, CResourceException::Shared());
        e->Delete();
    }
    EXPECT_FALSE(socket.IsWaiting());
    // The socket stays usable: the next call is not refused as if a wait were in progress.
    CSocketFile file(socket, false);
    EXPECT_EQ(file.ReadBuffer(buffer, 4), 4u);
}

TEST_F(FaultInjection, ANotificationWindowThatCannotBeMadeRaisesAndTheHandleStaysClosable) {
    faults::FailCallOfKind(winsock::Call::CreateWindow, 1);
    CSocket socket;
    EXPECT_FALSE(CatchFrameworkExceptions([&] { socket.OpenSocket(0, SOCK_STREAM, 63, nullptr); }));
    EXPECT_NE(socket.GetSocketHandle(), INVALID_SOCKET); // made, then kept by the object
    EXPECT_EQ(SocketRegistry::Current().NotificationWindow(), nullptr);
    socket.CloseSocketHandle();
    EXPECT_EQ(socket.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_FALSE(SocketRegistry::Current().HasLiveHandles());
    // The next open on the thread makes its window normally.
    EXPECT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
}
