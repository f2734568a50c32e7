// A scripted peer for socket tests: listens on 127.0.0.1, accepts one connection on its own
// thread with plain blocking Winsock and runs a script on it. Every wait it makes is bounded.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class LoopbackPeer {
public:
    using Script = std::function<void(SOCKET connection)>;

    // Starts listening; port() is then known. The script runs on the accepted connection, which
    // is closed after it (gracefully, unless the script resets it).
    explicit LoopbackPeer(Script script);
    ~LoopbackPeer(); // stops waiting for a connection, then waits for the script to end
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    unsigned short port() const { return port_; }
    // Waits for the script to end (at most 10 s for the connection plus the script's own bounds).
    void Join();
    bool accepted() const { return accepted_; }

private:
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    bool accepted_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

namespace peer {
// A script for a peer that keeps the client waiting: after delayMs it sends the four bytes, then
// reads until the client closes (bounded).
LoopbackPeer::Script SendFourBytesLate(int delayMs, const char* bytes);
// True when s has something to read (or has ended) within timeoutMs.
bool Readable(SOCKET s, int timeoutMs);
bool SendAll(SOCKET s, const void* data, int length);
// Reads until length bytes, the peer's close, an error or timeoutMs of silence; the bytes read.
std::string ReceiveUpTo(SOCKET s, size_t length, int timeoutMs = 10000);
// Reads everything until the client closes; bounded by timeoutMs of silence.
std::string ReceiveAll(SOCKET s, int timeoutMs = 10000);
// A port on 127.0.0.1 with nothing listening (bound once, then released).
unsigned short UnusedPort();
} // namespace peer

#include "net/SocketStartup.h"

#include <gtest/gtest.h>

// Socket tests start Windows Sockets the way the program does.
class NetTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartWindowsSockets()); }
};

// Dispatches what the thread has queued, as the thread's message loop would; bounded.
inline void PumpMessages() {
    MSG message;
    for (int i = 0; i < 10000 && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE); ++i) DispatchMessageA(&message);
}
