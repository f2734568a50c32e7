// Opening and connecting: numeric and named hosts, refusals, unresolvable names, port wrapping.
#include "net/Socket.h"
#include "net/SocketRegistry.h"
#include "tests/support/LoopbackPeer.h"

class Connect : public NetTest {};

TEST_F(Connect, ReachesAListenerByAddressAndByName) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        LoopbackPeer listener([](SOCKET c) { peer::SendAll(c, "GRT!", 4); });
        CSocket socket;
        ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
        EXPECT_TRUE(socket.ConnectToHost(host, listener.port())) << WSAGetLastError();
        EXPECT_EQ(socket.connectError, 0);
        listener.Join();
        EXPECT_TRUE(listener.accepted());
    }
}

TEST_F(Connect, OnlyTheLowSixteenBitsOfThePortCount) {
    LoopbackPeer listener([](SOCKET) {});
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    EXPECT_TRUE(socket.ConnectToHost("127.0.0.1", 65536u + listener.port()));
    listener.Join();
    EXPECT_TRUE(listener.accepted());
}

TEST_F(Connect, ARefusedConnectionFailsWithTheNotificationsError) {
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    EXPECT_FALSE(socket.ConnectToHost("127.0.0.1", peer::UnusedPort()));
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(socket.connectError, WSAECONNREFUSED);
    EXPECT_FALSE(socket.IsWaiting());
}

// Without its connect notification (here never asked for) a connect must still learn its
// outcome from the socket at a tick, whether the server accepts or refuses; it must not wait on.
TEST_F(Connect, AConnectWhoseNotificationNeverComesEndsAtATick) {
    const long withoutConnectNotification = 63 & ~FD_CONNECT;
    {
        LoopbackPeer listener([](SOCKET) {});
        CSocket socket;
        ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, withoutConnectNotification, nullptr));
        socket.pollInterval = 100;
        EXPECT_TRUE(socket.ConnectToHost("127.0.0.1", listener.port())) << WSAGetLastError();
        EXPECT_EQ(socket.connectError, 0);
        listener.Join();
    }
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, withoutConnectNotification, nullptr));
    socket.pollInterval = 100;
    EXPECT_FALSE(socket.ConnectToHost("127.0.0.1", peer::UnusedPort()));
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_FALSE(socket.IsWaiting());
}

TEST_F(Connect, ANameThatDoesNotResolveFailsWithInvalidArgument) {
    for (const char* host : {"no-such-host.invalid", "not a host name"}) {
        SCOPED_TRACE(host);
        CSocket socket;
        ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
        EXPECT_FALSE(socket.ConnectToHost(host, 80));
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    }
}

TEST_F(Connect, ALocalAddressThatIsNotNumericClosesTheNewHandle) {
    CSocket socket;
    EXPECT_FALSE(socket.OpenSocket(0, SOCK_STREAM, 63, "localhost"));
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(socket.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_EQ(SocketRegistry::Current().NotificationWindow(), nullptr);
    // The object can be opened again after the failure.
    EXPECT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, "127.0.0.1"));
}

TEST_F(Connect, RunTimeClassesNameTheirBases) {
    CSocket socket;
    EXPECT_STREQ(socket.GetRuntimeClass()->className, "CSocket");
    EXPECT_STREQ(socket.GetRuntimeClass()->base->className, "CAsyncSocket");
    EXPECT_STREQ(CAsyncSocket::runtimeClass.base->className, "CObject");
}
