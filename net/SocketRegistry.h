// The per-thread registry of sockets: which object owns which handle, which closed handles may
// still have notifications queued, the notifications a blocking wait set aside, and the thread's
// notification window, which exists exactly while a live handle exists.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <cstddef>
#include <list>
#include <map>
#include <memory>

class CAsyncSocket;
class CSocketWnd;

struct PendingNotification {
    UINT message;
    SOCKET handle;
    LPARAM eventWord;
};

class SocketRegistry {
public:
    // The calling thread's registry, made on first use (CMemoryException, CResourceException).
    static SocketRegistry& Current();
    // The calling thread's registry if it has one; never makes one and never throws.
    static SocketRegistry* Existing() noexcept;

    SocketRegistry();
    ~SocketRegistry();
    SocketRegistry(const SocketRegistry&) = delete;
    SocketRegistry& operator=(const SocketRegistry&) = delete;

    // Maps the handle to the object, making the notification window first when the thread has
    // no live handle (CResourceException when it cannot be made).
    void RegisterHandle(SOCKET handle, CAsyncSocket* socket);
    // Forgets a live handle; the last one takes the window, the dead marks and the deferred
    // notifications with it.
    void ForgetHandle(SOCKET handle) noexcept;
    // One retired handle's confirmation has been handled: counts its dead mark down.
    void ConfirmRetired(SOCKET handle) noexcept;
    // Moves a live registration to another handle (an accepted connection claimed by its
    // target). The new entry is made before the old one goes, so when it cannot be made
    // (CMemoryException) the object stays registered under the old handle.
    void MoveLiveHandle(SOCKET from, SOCKET to);
    CAsyncSocket* FindLive(SOCKET handle) const;
    int FindDead(SOCKET handle) const; // 0 when absent
    // After closesocket: marks the handle dead until its confirmation has been handled, so that
    // notifications still queued for it never reach a socket that is given the same number.
    // Never throws, because socket destructors close through it: when the mark cannot be
    // recorded, no confirmation is posted and the handle is simply forgotten.
    void RetireHandle(SOCKET handle, CAsyncSocket* socket) noexcept;
    void DeliverNotification(SOCKET handle, LPARAM eventWord);
    int DrainPendingNotifications();
    void DeferNotification(UINT message, SOCKET handle, LPARAM eventWord);

    // The thread's notification window; null while no live handle is registered.
    HWND NotificationWindow() const noexcept;
    bool HasLiveHandles() const noexcept { return !liveHandles_.empty(); }
    bool HasDeadHandles() const noexcept { return !deadHandles_.empty(); }
    std::size_t PendingCount() const noexcept { return pendingNotifications_.size(); }

private:
    void CreateNotificationWindow();
    void DestroyNotificationWindow() noexcept;

    std::unique_ptr<CSocketWnd> window_;
    std::map<SOCKET, CAsyncSocket*> liveHandles_;
    std::map<SOCKET, int> deadHandles_;
    std::list<PendingNotification> pendingNotifications_;
};
