// Every Windows Sockets call the transport makes, and the two window-system calls whose failure
// it must survive, go through these forwards. Each asks InjectFailure first; which definition of
// it a program gets is chosen when it is linked: the product links net/NoFaults.cpp (never
// fails), tests that make the K-th call fail with a realistic error link the injector in
// tests/support/ instead. The transport itself is compiled once for both.
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace winsock {

// The kinds of call that can be made to fail. The injector picks a fitting error for each.
enum class Call {
    Startup,
    Socket,
    Bind,
    Connect,
    Accept,
    Send,
    Recv,
    SendTo,
    RecvFrom,
    Select,
    Shutdown,
    Resolve,      // gethostbyname and getaddrinfo
    CreateWindow, // the notification window
    SetTimer,     // the blocking wait's timer
    // The TLS layer's Schannel and certificate calls (net/SecurityCalls.h).
    AcquireCredentials,
    InitializeContext,
    QueryContext,
    Encrypt,
    Decrypt,
    ApplyControlToken,
    GetCertificateChain,
    VerifyChainPolicy,
    HashPublicKey,
};

// True when this call is to fail; the Winsock error (or, for the window-system calls, the Win32
// error) is then already set. length: the bytes a send is handed (0 for other calls), so that a
// test can see how much one call is given. Defined outside the transport's library: a program
// that links neither definition, or both, does not link.
bool InjectFailure(Call call, int length = 0) noexcept;

// What Windows reports back to the transport passes the same seam, so that a test can make it
// report as another version of Windows does (a write notification that never comes, a reset told
// by the close notification). The product's answer leaves every report as it came.
// A send's result, right after the call; the Winsock error is still that of the call.
void SendReturned(SOCKET s, int result) noexcept;
// A notification a blocking wait took for its own socket. False: it is lost, as if never posted;
// the seam may also change the event word (the error that came with it).
bool NotificationTaken(SOCKET s, LPARAM& eventWord) noexcept;
// A blocking wait's timer tick: the event bit the wait was for and the timer's period.
void TimerTicked(unsigned eventBit, DWORD periodMilliseconds) noexcept;

inline int Startup(WORD version, WSADATA* data) {
    // WSAStartup reports its error as the result, not through WSAGetLastError.
    if (InjectFailure(Call::Startup)) return WSAGetLastError();
    return ::WSAStartup(version, data);
}
inline int Cleanup() { return ::WSACleanup(); }

inline SOCKET Socket(int family, int type, int protocol) {
    if (InjectFailure(Call::Socket)) return INVALID_SOCKET;
    return ::socket(family, type, protocol);
}
inline int Bind(SOCKET s, const sockaddr* address, int length) {
    if (InjectFailure(Call::Bind)) return SOCKET_ERROR;
    return ::bind(s, address, length);
}
inline int Connect(SOCKET s, const sockaddr* address, int length) {
    if (InjectFailure(Call::Connect)) return SOCKET_ERROR;
    return ::connect(s, address, length);
}
inline SOCKET Accept(SOCKET s, sockaddr* address, int* length) {
    if (InjectFailure(Call::Accept)) return INVALID_SOCKET;
    return ::accept(s, address, length);
}
inline int Send(SOCKET s, const void* data, int length, int flags) {
    if (InjectFailure(Call::Send, length)) return SOCKET_ERROR;
    const int result = ::send(s, static_cast<const char*>(data), length, flags);
    SendReturned(s, result);
    return result;
}
inline int Recv(SOCKET s, void* buffer, int size, int flags) {
    if (InjectFailure(Call::Recv)) return SOCKET_ERROR;
    return ::recv(s, static_cast<char*>(buffer), size, flags);
}
inline int SendTo(SOCKET s, const void* data, int length, int flags, const sockaddr* to, int toLength) {
    if (InjectFailure(Call::SendTo)) return SOCKET_ERROR;
    return ::sendto(s, static_cast<const char*>(data), length, flags, to, toLength);
}
inline int RecvFrom(SOCKET s, void* buffer, int size, int flags, sockaddr* from, int* fromLength) {
    if (InjectFailure(Call::RecvFrom)) return SOCKET_ERROR;
    return ::recvfrom(s, static_cast<char*>(buffer), size, flags, from, fromLength);
}
inline int AsyncSelect(SOCKET s, HWND window, UINT message, long events) {
    if (InjectFailure(Call::Select)) return SOCKET_ERROR;
    return ::WSAAsyncSelect(s, window, message, events);
}
inline int Shutdown(SOCKET s, int how) {
    if (InjectFailure(Call::Shutdown)) return SOCKET_ERROR;
    return ::shutdown(s, how);
}
inline int CloseSocket(SOCKET s) { return ::closesocket(s); }
// Looks at one socket's state without waiting: only reads it, so nothing is injected here.
inline int SelectNow(fd_set* writable, fd_set* failed) {
    timeval now = {0, 0};
    return ::select(0, nullptr, writable, failed, &now);
}
inline int SocketError(SOCKET s) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == SOCKET_ERROR) return -1;
    return error;
}
// A connect in progress as the socket tells it: 0 connected, the Winsock error when it failed, -1
// while it is still under way (or the socket gave no answer).
inline int ConnectOutcomeNow(SOCKET s) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    if (SelectNow(&writable, &failed) <= 0) return -1;
    if (FD_ISSET(s, &failed)) {
        const int error = SocketError(s);
        return error > 0 ? error : WSAECONNREFUSED;
    }
    return FD_ISSET(s, &writable) ? 0 : -1;
}

inline unsigned long InetAddr(const char* text) { return ::inet_addr(text); }
inline hostent* GetHostByName(const char* name) {
    if (InjectFailure(Call::Resolve)) return nullptr;
    return ::gethostbyname(name);
}

// getaddrinfo reports its error as the result (0: found); the thread's error is set to it too.
inline int GetAddrInfo(const char* host, const addrinfo* hints, addrinfo** found) {
    *found = nullptr;
    if (InjectFailure(Call::Resolve)) return WSAGetLastError();
    int error = ::getaddrinfo(host, nullptr, hints, found);
    if (error != 0) ::WSASetLastError(error);
    return error;
}
inline void FreeAddrInfo(addrinfo* found) {
    if (found != nullptr) ::freeaddrinfo(found);
}

inline int LastError() { return ::WSAGetLastError(); }
inline void SetLastError(int error) { ::WSASetLastError(error); }

// The window-system calls: a refusal here must surface as the framework's resource exception.
inline bool MayCreateWindow() { return !InjectFailure(Call::CreateWindow); }
inline UINT_PTR SetThreadTimer(UINT milliseconds) {
    if (InjectFailure(Call::SetTimer)) return 0;
    return ::SetTimer(nullptr, 0, milliseconds, nullptr);
}

} // namespace winsock
