// Reading and writing a connection through the socket file: filling and single-receive reads,
// the end of the stream, resets, and the refused file operations.
#include "framework/Exceptions.h"
#include "net/SocketFile.h"
#include "tests/support/LoopbackPeer.h"

#include <functional>

namespace {
void Pause(int ms) { Sleep(static_cast<DWORD>(ms)); }

// Connects a socket to the listener; the test fails when it cannot.
void ConnectTo(CSocket& socket, const LoopbackPeer& listener) {
    ASSERT_TRUE(socket.OpenSocket(0, SOCK_STREAM, 63, nullptr));
    ASSERT_TRUE(socket.ConnectToHost("127.0.0.1", listener.port())) << WSAGetLastError();
}
} // namespace

class SocketFileRead : public NetTest {};

TEST_F(SocketFileRead, FillingModeGathersAGreetingSentInPieces) {
    LoopbackPeer listener([](SOCKET c) {
        peer::SendAll(c, "AB", 2);
        Pause(150);
        peer::SendAll(c, "CD", 2);
        peer::ReceiveAll(c, 3000);
    });
    CSocket socket;
    ConnectTo(socket, listener);
    CSocketFile file(socket, false);
    char greeting[4] = {};
    EXPECT_EQ(file.ReadBuffer(greeting, 4), 4u);
    EXPECT_EQ(std::string(greeting, 4), "ABCD");
    EXPECT_EQ(file.ReadBuffer(greeting, 0), 0u);
}

TEST_F(SocketFileRead, TheEndOfTheStreamGivesAShortCountNotAnError) {
    struct Row {
        const char* sent;
        UINT expected;
    };
    for (Row row : {Row{"", 0}, Row{"xy", 2}}) {
        SCOPED_TRACE(row.sent);
        LoopbackPeer listener([row](SOCKET c) { peer::SendAll(c, row.sent, static_cast<int>(strlen(row.sent))); });
        CSocket socket;
        ConnectTo(socket, listener);
        CSocketFile file(socket, false);
        char buffer[4];
        UINT n = 99;
        EXPECT_TRUE(CatchFrameworkExceptions([&] { n = file.ReadBuffer(buffer, 4); }));
        EXPECT_EQ(n, row.expected);
    }
}

TEST_F(SocketFileRead, SingleReceiveModeReturnsWhatOneReceiveGives) {
    LoopbackPeer listener([](SOCKET c) {
        peer::SendAll(c, "AB", 2);
        Pause(300);
        peer::SendAll(c, "CD", 2);
        peer::ReceiveAll(c, 3000);
    });
    CSocket socket;
    ConnectTo(socket, listener);
    CSocketFile file(socket, true);
    char buffer[4];
    EXPECT_EQ(file.ReadBuffer(buffer, 4), 2u);
    EXPECT_EQ(file.ReadBuffer(buffer, 4), 2u);
    EXPECT_EQ(std::string(buffer, 2), "CD");
}

TEST_F(SocketFileRead, WritesReachThePeerAndCloseLeavesTheSocketOpen) {
    std::string received;
    LoopbackPeer listener([&received](SOCKET c) { received = peer::ReceiveAll(c); });
    CSocket socket;
    ConnectTo(socket, listener);
    {
        CSocketFile file(socket, false);
        file.WriteBuffer("hello ", 6);
        file.Close();
        EXPECT_EQ(file.attachedSocket, nullptr);
        EXPECT_FALSE(CatchFrameworkExceptions([&] { file.WriteBuffer("x", 1); }));
    }
    EXPECT_NE(socket.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_EQ(socket.SendBytes("world", 5, 0), 5);
    socket.CloseSocketHandle();
    listener.Join();
    EXPECT_EQ(received, "hello world");
}

TEST_F(SocketFileRead, PositionalOperationsAreRefusedWithTheSharedException) {
    CSocket socket;
    CSocketFile file(socket, false);
    const std::function<void()> refused[] = {
        [&] { file.GetPosition(); },      [&] { file.GetLength(); },
        [&] { file.SetLength(1); },       [&] { file.LockRange(0, 1); },
        [&] { file.UnlockRange(0, 1); },  [&] { file.Abort(); },
        [&] { file.Open("x", 0); },       [&] { file.Duplicate(); },
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        SCOPED_TRACE(i);
        try {
            refused[i]();
            ADD_FAILURE() << "not refused";
        } catch (CException* e) {
            EXPECT_EQ(e, CNotSupportedException::Shared());
            e->Delete();
        }
    }
    EXPECT_EQ(file.Seek(100, CFile::begin), 0u);
    EXPECT_NO_THROW(file.Flush());
    EXPECT_EQ(file.GetFileHandle(), INVALID_HANDLE_VALUE);
    EXPECT_STREQ(file.GetRuntimeClass()->className, "CSocketFile");
    EXPECT_STREQ(file.GetRuntimeClass()->base->className, "CFile");
}
