// Every Windows Sockets call the transport makes, and the two window-system calls whose failure
// it must survive, go through these forwards. Each asks InjectFailure first; which definition of
// it a program gets is chosen when it is linked: the product links net/NoFaults.cpp (never
// fails), tests that make the K-th call fail with a realistic error link the injector in
// tests/support/ instead. The transport itself is compiled once for both.
#pragma once

#include <windows.h>
#include <winsock.h>

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
    Resolve,
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
    return ::send(s, static_cast<const char*>(data), length, flags);
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

inline unsigned long InetAddr(const char* text) { return ::inet_addr(text); }
inline hostent* GetHostByName(const char* name) {
    if (InjectFailure(Call::Resolve)) return nullptr;
    return ::gethostbyname(name);
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
