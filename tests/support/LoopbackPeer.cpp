// The scripted loopback peer of the socket tests.
#include "tests/support/LoopbackPeer.h"

#include <cstring>

namespace {
sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}
} // namespace

namespace peer {
bool Readable(SOCKET s, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}
} // namespace peer

LoopbackPeer::LoopbackPeer(Script script) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return; // port() stays 0 and the test fails on it
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script] {
        // In short slices, so that a test which never connects is not held up; a whole minute for
        // one that does: on an emulated PC under load a test took more than 10 s to connect.
        bool ready = false;
        for (int slice = 0; slice < 600 && !ready && !stopping_; ++slice) ready = peer::Readable(listener_, 100);
        if (!ready) return;
        SOCKET connection = accept(listener_, nullptr, nullptr);
        if (connection == INVALID_SOCKET) return;
        accepted_ = true;
        script(connection);
        closesocket(connection);
    });
}

LoopbackPeer::~LoopbackPeer() {
    stopping_ = true;
    Join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

void LoopbackPeer::Join() {
    if (thread_.joinable()) thread_.join();
}

namespace peer {

bool SendAll(SOCKET s, const void* data, int length) {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        int n = send(s, next, length, 0);
        if (n <= 0) return false;
        next += n;
        length -= n;
    }
    return true;
}

std::string ReceiveUpTo(SOCKET s, size_t length, int timeoutMs) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < length) {
        if (!Readable(s, timeoutMs)) break;
        size_t want = length - bytes.size();
        int n = recv(s, buffer, static_cast<int>(want < sizeof buffer ? want : sizeof buffer), 0);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

LoopbackPeer::Script SendFourBytesLate(int delayMs, const char* bytes) {
    return [delayMs, bytes](SOCKET c) {
        Sleep(delayMs);
        SendAll(c, bytes, 4);
        ReceiveAll(c, 3000);
    };
}

std::string ReceiveAll(SOCKET s, int timeoutMs) { return ReceiveUpTo(s, static_cast<size_t>(-1), timeoutMs); }

unsigned short UnusedPort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

} // namespace peer
