// Server addresses of every form, and connections over several addresses: IPv6 on loopback, a
// refused family followed by one that answers, and a list in which every address fails.
#include "net/ConnectionRacer.h"
#include "net/SocketFile.h"
#include "net/SocketRegistry.h"
#include "tests/support/LoopbackPeer.h"

#include <cstring>
#include <thread>

namespace {

// A listener on ::1 only, which accepts one connection and sends a greeting; bounded.
class Ipv6Greeter {
public:
    Ipv6Greeter() {
        listener_ = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in6 address = {};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        int length = sizeof address;
        if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin6_port);
        thread_ = std::thread([this] {
            if (!peer::Readable(listener_, 10000)) return;
            SOCKET c = accept(listener_, nullptr, nullptr);
            if (c == INVALID_SOCKET) return;
            accepted_ = true;
            peer::SendAll(c, "GRT!", 4);
            received_ = peer::ReceiveAll(c, 5000);
            closesocket(c);
        });
    }
    ~Ipv6Greeter() {
        if (thread_.joinable()) thread_.join();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
    }
    unsigned short port() const { return port_; }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    bool accepted() const { return accepted_; }
    const std::string& received() const { return received_; }

private:
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    bool accepted_ = false;
    std::string received_;
    std::thread thread_;
};

std::vector<ServerAddress> Resolved(const char* host, unsigned port) {
    std::vector<ServerAddress> addresses;
    EXPECT_TRUE(ResolveServerAddresses(host, port, addresses)) << host << ": " << WSAGetLastError();
    return addresses;
}

ServerAddress Address(const char* host, unsigned port) {
    std::vector<ServerAddress> addresses = Resolved(host, port);
    return addresses.empty() ? ServerAddress{} : addresses.front();
}

// Reads the greeting and sends through the socket, as the transfer does.
void Converse(CSocket& socket) {
    CSocketFile file(socket, false);
    char greeting[4];
    EXPECT_EQ(file.ReadBuffer(greeting, 4), 4u);
    EXPECT_EQ(socket.SendBytes("frame", 5, 0), 5);
    EXPECT_TRUE(socket.FinishSending(5000)) << WSAGetLastError();
}

} // namespace

class ServerAddresses : public NetTest {};

TEST_F(ServerAddresses, EachFormResolvesToItsFamilyWithThePortSet) {
    struct Row {
        const char* host;
        int family;
        unsigned long scope; // IPv6 only
    } rows[] = {
        {"127.0.0.1", AF_INET, 0},
        {"::1", AF_INET6, 0},
        {"[::1]", AF_INET6, 0},
        {"fe80::1%3", AF_INET6, 3},
        {"[fe80::1%3]", AF_INET6, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.host);
        std::vector<ServerAddress> addresses = Resolved(row.host, 65536u + 4321u);
        ASSERT_EQ(addresses.size(), 1u);
        ASSERT_EQ(addresses[0].Family(), row.family);
        if (row.family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(addresses[0].address);
            EXPECT_EQ(ntohs(in.sin_port), 4321);
            EXPECT_EQ(addresses[0].length, int(sizeof(sockaddr_in)));
        } else {
            const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addresses[0].address);
            EXPECT_EQ(ntohs(in6.sin6_port), 4321);
            EXPECT_EQ(in6.sin6_scope_id, row.scope);
        }
    }
    for (const char* host : {"no-such-host.invalid", "[localhost]", "[127.0.0.1]", "[]", "", "[::1"}) {
        SCOPED_TRACE(host);
        std::vector<ServerAddress> addresses;
        EXPECT_FALSE(ResolveServerAddresses(host, 80, addresses));
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
        EXPECT_TRUE(addresses.empty());
    }
}

TEST_F(ServerAddresses, FamiliesAlternateFromTheFirstAddressOnInTheResolversOrder) {
    const ServerAddress a6 = Address("::1", 1), b6 = Address("::2", 1), c6 = Address("::3", 1);
    const ServerAddress a4 = Address("127.0.0.1", 1), b4 = Address("127.0.0.2", 1);
    std::vector<ServerAddress> list = {a6, b6, c6, a4, b4};
    InterleaveFamilies(list);
    const std::vector<const ServerAddress*> expected = {&a6, &a4, &b6, &b4, &c6};
    ASSERT_EQ(list.size(), expected.size());
    for (size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, std::memcmp(&list[i].address, &expected[i]->address, sizeof list[i].address));
    }
}

class ConnectionRace : public NetTest {};

TEST_F(ConnectionRace, AnIpv6OnlyServerIsReachedByItsLiteralAndTheSocketCarriesTheConversation) {
    for (const char* host : {"::1", "[::1]"}) {
        SCOPED_TRACE(host);
        Ipv6Greeter server;
        ASSERT_NE(server.port(), 0) << "no IPv6 loopback here";
        CSocket socket;
        ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
        ASSERT_TRUE(ConnectToServer(socket, host, server.port())) << WSAGetLastError();
        Converse(socket);
        socket.CloseSocketHandle();
        server.Join();
        EXPECT_EQ(server.received(), "frame");
        // Every attempt's socket is gone with the one the transfer used.
        EXPECT_FALSE(SocketRegistry::Current().HasLiveHandles());
    }
}

TEST_F(ConnectionRace, ARefusedFirstAddressGivesWayToTheNextAndEveryLoserIsClosed) {
    std::string received;
    LoopbackPeer listener([&received](SOCKET c) {
        peer::SendAll(c, "GRT!", 4);
        received = peer::ReceiveAll(c, 5000);
    });
    const unsigned short refused = peer::UnusedPort();
    // Refused over IPv6, then IPv4 answers; the refused address after it must not spoil the win.
    std::vector<ServerAddress> addresses = {Address("::1", refused), Address("127.0.0.1", listener.port()),
                                            Address("127.0.0.1", refused)};
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    ASSERT_TRUE(ConnectToAnyAddress(socket, addresses)) << WSAGetLastError();
    EXPECT_EQ(socket.connectError, 0);
    Converse(socket);
    socket.CloseSocketHandle();
    listener.Join();
    EXPECT_EQ(received, "frame");
    EXPECT_FALSE(SocketRegistry::Current().HasLiveHandles());
    EXPECT_EQ(SocketRegistry::Current().NotificationWindow(), nullptr);
}

TEST_F(ConnectionRace, WhenEveryAddressFailsTheLastErrorIsReportedAndTheSocketStaysClosable) {
    const unsigned short refused = peer::UnusedPort();
    CSocket socket;
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    const SOCKET before = socket.GetSocketHandle();
    EXPECT_FALSE(ConnectToAnyAddress(socket, {Address("::1", refused), Address("127.0.0.1", refused)}));
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    // The socket keeps the handle it had; no attempt is left registered beside it.
    EXPECT_EQ(socket.GetSocketHandle(), before);
    socket.CloseSocketHandle();
    EXPECT_FALSE(SocketRegistry::Current().HasLiveHandles());
    // A retry goes through the whole list again.
    LoopbackPeer listener([](SOCKET c) { peer::SendAll(c, "GRT!", 4); });
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    EXPECT_TRUE(ConnectToAnyAddress(socket, {Address("::1", refused), Address("127.0.0.1", listener.port())}));
    socket.CloseSocketHandle();
    listener.Join();
    EXPECT_TRUE(listener.accepted());
}
