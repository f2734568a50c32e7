// The asynchronous socket: one non-blocking Winsock call per operation, and the opening,
// connecting, accepting and closing that keep the thread's registry in step with the handle.
#include "net/AsyncSocket.h"

#include "net/SocketMessages.h"
#include "net/SocketRegistry.h"
#include "net/WinsockCalls.h"

#include <cstring>

IMPLEMENT_RUNTIME_CLASS(CAsyncSocket, CObject)

namespace {
sockaddr_in EmptyAddress() {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    return address;
}
} // namespace

CAsyncSocket::~CAsyncSocket() { CloseOwnHandle(); }

bool CAsyncSocket::OpenSocket(UINT port, int type, long eventMask, const char* localAddress) {
    if (!AllocateHandle(type, eventMask, 0, AF_INET)) return false;
    if (BindLocal(port, localAddress)) return true;
    // The close makes Winsock calls of its own; the caller must still see why the bind failed.
    int error = winsock::LastError();
    CloseSocketHandle();
    winsock::SetLastError(error);
    return false;
}

bool CAsyncSocket::AllocateHandle(int type, long eventMask, int protocol, int family) {
    OwnedSocket made(winsock::Socket(family, type, protocol));
    if (!made.valid()) return false;
    AdoptHandle(made.release());
    // Registering makes the thread's window, which the selection below posts to. When it cannot
    // be made the object keeps the handle and closes it like any other.
    SocketRegistry::Current().RegisterHandle(GetSocketHandle(), this);
    return SelectEvents(eventMask);
}

bool CAsyncSocket::BindLocal(UINT port, const char* localAddress) {
    sockaddr_in address = EmptyAddress();
    if (localAddress != nullptr) {
        // A local address is never looked up by name.
        address.sin_addr.s_addr = winsock::InetAddr(localAddress);
        if (address.sin_addr.s_addr == INADDR_NONE) {
            winsock::SetLastError(WSAEINVAL);
            return false;
        }
    }
    address.sin_port = htons(static_cast<u_short>(port));
    return winsock::Bind(GetSocketHandle(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
           SOCKET_ERROR;
}

bool CAsyncSocket::SelectEvents(long eventMask) {
    // No registry means no window yet; the close deselects through here and must not make one.
    SocketRegistry* registry = SocketRegistry::Existing();
    HWND window = registry != nullptr ? registry->NotificationWindow() : nullptr;
    return winsock::AsyncSelect(GetSocketHandle(), window, SOCKET_NOTIFY_MESSAGE, eventMask) != SOCKET_ERROR;
}

bool CAsyncSocket::ConnectToHost(const CText& host, UINT port) {
    sockaddr_in address = EmptyAddress();
    address.sin_addr.s_addr = winsock::InetAddr(host.Data());
    if (address.sin_addr.s_addr == INADDR_NONE) {
        hostent* entry = winsock::GetHostByName(host.Data());
        if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
            entry->h_length != 4) {
            winsock::SetLastError(WSAEINVAL);
            return false;
        }
        std::memcpy(&address.sin_addr, entry->h_addr_list[0], 4);
    }
    // Only the low 16 bits of the port reach the connection.
    address.sin_port = htons(static_cast<u_short>(port));
    return ConnectAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

bool CAsyncSocket::AcceptConnection(CAsyncSocket& target, sockaddr* address, int* addressLength) {
    SocketRegistry& registry = SocketRegistry::Current();
    // The new handle's first notification may be routed before accept returns; the target is
    // found under the invalid handle until then.
    registry.RegisterHandle(INVALID_SOCKET, &target);
    OwnedSocket accepted(winsock::Accept(GetSocketHandle(), address, addressLength));
    if (!accepted.valid()) {
        // Only the registration made above is undone: a target that already held a handle
        // keeps it, and its registration with it.
        int error = winsock::LastError();
        registry.ForgetHandle(INVALID_SOCKET);
        winsock::SetLastError(error);
        return false;
    }
    if (registry.FindLive(INVALID_SOCKET) != nullptr) {
        // Erasing first could empty the map and take the thread's window with it, and a failed
        // registration afterwards would lose the target. When it fails the new connection is
        // closed again here.
        registry.MoveLiveHandle(INVALID_SOCKET, accepted.get());
        target.AdoptHandle(accepted.release());
    }
    // Otherwise its first notification was routed during the accept and the target already
    // claimed the same number; this owner lets go of it without closing it.
    accepted.release();
    return true;
}

void CAsyncSocket::CloseSocketHandle() { CloseOwnHandle(); }

void CAsyncSocket::TakeHandleFrom(CAsyncSocket& other) {
    const SOCKET handle = other.GetSocketHandle();
    if (handle == INVALID_SOCKET || &other == this) return;
    CloseSocketHandle();
    // The handle is registered already (to the other object), so this only changes its owner
    // and cannot fail: notifications still queued for it reach this object from now on.
    SocketRegistry::Current().RegisterHandle(handle, this);
    socket_.reset(other.ReleaseHandle());
}

void CAsyncSocket::AdoptHandle(SOCKET handle) noexcept {
    if (socket_.get() == handle) return;
    CloseOwnHandle();
    socket_.reset(handle);
}

void CAsyncSocket::CloseOwnHandle() noexcept {
    if (!socket_.valid()) return;
    // The close's result is ignored (the number is given up either way), so the owner may close
    // it; the number itself is still needed to retire it afterwards.
    SOCKET handle = socket_.get();
    socket_.reset();
    // A handle made before the registry could be had was never registered.
    if (SocketRegistry* registry = SocketRegistry::Existing()) registry->RetireHandle(handle, this);
}

int CAsyncSocket::ReceiveBytes(void* buffer, int size, int flags) {
    return winsock::Recv(GetSocketHandle(), buffer, size, flags);
}

int CAsyncSocket::SendBytes(const void* data, int length, int flags) {
    return winsock::Send(GetSocketHandle(), data, length, flags);
}

void CAsyncSocket::OnReadReady(int) {}
void CAsyncSocket::OnWriteReady(int) {}
void CAsyncSocket::OnUrgentData(int) {}
void CAsyncSocket::OnAcceptReady(int) {}
void CAsyncSocket::OnConnectDone(int) {}
void CAsyncSocket::OnPeerClosed(int) {}

bool CAsyncSocket::ConnectAddress(const sockaddr* address, int length) {
    return winsock::Connect(GetSocketHandle(), address, length) != SOCKET_ERROR;
}

int CAsyncSocket::ReceiveFromAddress(void* buffer, int size, sockaddr* address, int* addressLength, int flags) {
    return winsock::RecvFrom(GetSocketHandle(), buffer, size, flags, address, addressLength);
}

int CAsyncSocket::SendToAddress(const void* data, int length, const sockaddr* address, int addressLength,
                                int flags) {
    return winsock::SendTo(GetSocketHandle(), data, length, flags, address, addressLength);
}
