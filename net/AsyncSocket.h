// The asynchronous socket: non-blocking Winsock calls on one handle, whose events arrive as
// messages to the thread's hidden notification window and are routed to one virtual handler each.
#pragma once

#include "framework/Object.h"
#include "framework/Text.h"
#include "net/OwnedSocket.h"

#include <windows.h>
#include <winsock2.h>

class CAsyncSocket : public CObject {
    DECLARE_RUNTIME_CLASS(CAsyncSocket)
public:
    CAsyncSocket() noexcept = default;
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;
    // Closes a handle that is still open, with this class's own close.
    ~CAsyncSocket() override;

    // Makes the handle, registers it on this thread, selects the events and binds to the local
    // port and dotted-decimal address (none: any). A failed bind closes the new handle again.
    bool OpenSocket(UINT port, int type, long eventMask, const char* localAddress);
    bool AllocateHandle(int type, long eventMask, int protocol, int family);
    bool BindLocal(UINT port, const char* localAddress);
    // Mask 0 stops every notification for the handle.
    bool SelectEvents(long eventMask);
    // A dotted-decimal address or a host name (first address only); only the port's low 16 bits
    // count. WSAEINVAL when the name does not resolve.
    bool ConnectToHost(const CText& host, UINT port);

    virtual bool AcceptConnection(CAsyncSocket& target, sockaddr* address, int* addressLength);
    virtual void CloseSocketHandle();
    virtual int ReceiveBytes(void* buffer, int size, int flags);
    virtual int SendBytes(const void* data, int length, int flags);

    // The notification handlers, each given the error that came with its event.
    virtual void OnReadReady(int error);
    virtual void OnWriteReady(int error);
    virtual void OnUrgentData(int error);
    virtual void OnAcceptReady(int error);
    virtual void OnConnectDone(int error);
    virtual void OnPeerClosed(int error);

    virtual bool ConnectAddress(const sockaddr* address, int length);
    virtual int ReceiveFromAddress(void* buffer, int size, sockaddr* address, int* addressLength, int flags);
    virtual int SendToAddress(const void* data, int length, const sockaddr* address, int addressLength,
                              int flags);

    // Takes over the other object's handle and its registration, closing (through the virtual
    // close) the handle this object held: the connection one attempt made goes on in the socket
    // the caller uses. Nothing happens when the other holds none.
    void TakeHandleFrom(CAsyncSocket& other);

    // The handle this object holds; INVALID_SOCKET when none.
    SOCKET GetSocketHandle() const noexcept { return socket_.get(); }

protected:
    // Takes over a handle made elsewhere (an accepted connection); one this object still holds
    // is closed and retired first, so no registration is left pointing at a forgotten handle.
    void AdoptHandle(SOCKET handle) noexcept;
    // Gives the handle up without closing or retiring it; the caller answers for it from now on.
    SOCKET ReleaseHandle() noexcept { return socket_.release(); }

private:
    // The registry hands an accepted connection's handle to its target on its first notification.
    friend class SocketRegistry;

    // The destructor must not reach a derived class's close once that part is gone.
    void CloseOwnHandle() noexcept;

    OwnedSocket socket_;
};
