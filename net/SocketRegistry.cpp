// The per-thread socket registry and the routing of notifications to socket objects.
#include "net/SocketRegistry.h"

#include "framework/Exceptions.h"
#include "net/AsyncSocket.h"
#include "net/SocketMessages.h"
#include "net/SocketWnd.h"
#include "net/WinsockCalls.h"

#include <new>

namespace {

// The registry lives in fiber-local storage, not in a C++ thread_local: this run-time's thread-exit
// destructors fault when a thread ends through ExitThread, and the process then hangs in exit() on
// the run-time's lock. The system runs the storage's callback at the end of every thread, which
// frees the registry. Systems without fiber-local storage get plain thread-local storage and keep
// the (empty) registry of an ended thread.
using FlsCallback = void(WINAPI*)(void*);
using FlsAllocFunction = DWORD(WINAPI*)(FlsCallback);
using FlsGetValueFunction = void*(WINAPI*)(DWORD);
using FlsSetValueFunction = BOOL(WINAPI*)(DWORD, void*);

template <typename Function>
Function ProcedureOf(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void WINAPI DeleteRegistry(void* registry) { delete static_cast<SocketRegistry*>(registry); }

class RegistrySlot {
public:
    RegistrySlot() {
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        auto flsAlloc = ProcedureOf<FlsAllocFunction>(kernel, "FlsAlloc");
        getValue_ = ProcedureOf<FlsGetValueFunction>(kernel, "FlsGetValue");
        setValue_ = ProcedureOf<FlsSetValueFunction>(kernel, "FlsSetValue");
        if (flsAlloc != nullptr && getValue_ != nullptr && setValue_ != nullptr) {
            index_ = flsAlloc(&DeleteRegistry);
            if (index_ != kNoIndex) return;
        }
        getValue_ = nullptr;
        setValue_ = nullptr;
        index_ = TlsAlloc();
    }

    void* Get() const { return getValue_ != nullptr ? getValue_(index_) : TlsGetValue(index_); }
    bool Set(void* value) const {
        return (getValue_ != nullptr ? setValue_(index_, value) : TlsSetValue(index_, value)) != FALSE;
    }
    bool Usable() const { return index_ != kNoIndex; }

private:
    static constexpr DWORD kNoIndex = 0xFFFFFFFF; // TLS_OUT_OF_INDEXES and FLS_OUT_OF_INDEXES
    DWORD index_ = kNoIndex;
    FlsGetValueFunction getValue_ = nullptr;
    FlsSetValueFunction setValue_ = nullptr;
};

const RegistrySlot& Slot() {
    static const RegistrySlot slot; // made once, thread-safely, on first use
    return slot;
}

} // namespace

SocketRegistry& SocketRegistry::Current() {
    const RegistrySlot& slot = Slot();
    if (!slot.Usable()) ThrowResourceException();
    auto* registry = static_cast<SocketRegistry*>(slot.Get());
    if (registry != nullptr) return *registry;
    registry = new (std::nothrow) SocketRegistry;
    if (registry == nullptr) ThrowMemoryException();
    if (!slot.Set(registry)) {
        delete registry;
        ThrowResourceException();
    }
    return *registry;
}

SocketRegistry* SocketRegistry::Existing() noexcept {
    const RegistrySlot& slot = Slot();
    return slot.Usable() ? static_cast<SocketRegistry*>(slot.Get()) : nullptr;
}

SocketRegistry::SocketRegistry() = default;

SocketRegistry::~SocketRegistry() { DestroyNotificationWindow(); }

void SocketRegistry::CreateNotificationWindow() {
    std::unique_ptr<CSocketWnd> window(new (std::nothrow) CSocketWnd);
    if (window == nullptr) ThrowMemoryException();
    window->Create(); // raises CResourceException
    window_ = std::move(window);
}

void SocketRegistry::DestroyNotificationWindow() noexcept {
    // The window may be destroyed from inside its own message handler (a handler closing the
    // thread's last socket); nothing touches the object after its handler returns.
    std::unique_ptr<CSocketWnd> window = std::move(window_);
    if (window != nullptr) window->DestroyWindowNow();
    deadHandles_.clear();
    pendingNotifications_.clear();
}

HWND SocketRegistry::NotificationWindow() const noexcept {
    return window_ != nullptr ? window_->GetSafeHwnd() : nullptr;
}

void SocketRegistry::RegisterHandle(SOCKET handle, CAsyncSocket* socket) {
    try {
        if (liveHandles_.empty()) CreateNotificationWindow();
        liveHandles_[handle] = socket;
    } catch (const std::bad_alloc&) {
        if (liveHandles_.empty()) DestroyNotificationWindow();
        ThrowMemoryException();
    }
}

void SocketRegistry::ForgetHandle(SOCKET handle) noexcept {
    if (liveHandles_.erase(handle) == 0) return;
    if (liveHandles_.empty()) DestroyNotificationWindow();
}

void SocketRegistry::ConfirmRetired(SOCKET handle) noexcept {
    auto found = deadHandles_.find(handle);
    if (found != deadHandles_.end() && --found->second <= 0) deadHandles_.erase(found);
}

CAsyncSocket* SocketRegistry::FindLive(SOCKET handle) const {
    auto found = liveHandles_.find(handle);
    return found == liveHandles_.end() ? nullptr : found->second;
}

int SocketRegistry::FindDead(SOCKET handle) const {
    auto found = deadHandles_.find(handle);
    return found == deadHandles_.end() ? 0 : found->second;
}

void SocketRegistry::RetireHandle(SOCKET handle, CAsyncSocket*) noexcept {
    ForgetHandle(handle);
    HWND window = NotificationWindow();
    if (window == nullptr) return; // the thread's last socket: nothing can be stale
    // Winsock posts nothing for the handle after closesocket, so every notification for it is
    // queued ahead of this confirmation. A mark without a confirmation would never clear and would
    // silence a later socket given the same number, so the mark goes again when the post fails.
    // Without memory for the mark the handle is forgotten unmarked: a stale notification may then
    // reach a socket given the same number, which is better than a throw out of a destructor.
    try {
        ++deadHandles_[handle];
    } catch (const std::bad_alloc&) {
        return;
    }
    if (!PostMessageA(window, SOCKET_DEAD_MESSAGE, static_cast<WPARAM>(handle), 0)) ConfirmRetired(handle);
}

void SocketRegistry::MoveLiveHandle(SOCKET from, SOCKET to) {
    auto found = liveHandles_.find(from);
    if (found == liveHandles_.end()) return;
    CAsyncSocket* socket = found->second;
    try {
        liveHandles_[to] = socket;
    } catch (const std::bad_alloc&) {
        ThrowMemoryException();
    }
    liveHandles_.erase(from); // not the last entry: the window stays
}

void SocketRegistry::DeliverNotification(SOCKET handle, LPARAM eventWord) {
    if (handle == 0 && eventWord == 0) return; // a blocking wait's wake-up
    if (FindDead(handle) != 0) return;         // posted before its socket was closed
    CAsyncSocket* owner = FindLive(handle);
    if (owner == nullptr) {
        // A connection being accepted: its target waits under the invalid handle.
        owner = FindLive(INVALID_SOCKET);
        if (owner == nullptr) return; // nobody's: drop it
        // Registered under the handle first: if that fails the target still waits under the
        // invalid handle, without the handle, and the exception is the framework's.
        MoveLiveHandle(INVALID_SOCKET, handle);
        owner->AdoptHandle(handle);
    }
    int error = EventError(eventWord);
    switch (EventBit(eventWord)) {
    case FD_READ: owner->OnReadReady(error); break;
    case FD_WRITE: owner->OnWriteReady(error); break;
    case FD_OOB: owner->OnUrgentData(error); break;
    case FD_ACCEPT: owner->OnAcceptReady(error); break;
    case FD_CONNECT: owner->OnConnectDone(error); break;
    case FD_CLOSE: owner->OnPeerClosed(error); break;
    default: break;
    }
}

int SocketRegistry::DrainPendingNotifications() {
    int count = 0;
    // A handler may change the registry, even empty it by closing the last socket: look at the
    // list afresh after every record.
    while (!pendingNotifications_.empty()) {
        PendingNotification record = pendingNotifications_.front();
        pendingNotifications_.pop_front();
        if (record.message == SOCKET_NOTIFY_MESSAGE)
            DeliverNotification(record.handle, record.eventWord);
        else
            ConfirmRetired(record.handle);
        ++count;
    }
    return count;
}

void SocketRegistry::DeferNotification(UINT message, SOCKET handle, LPARAM eventWord) {
    try {
        pendingNotifications_.push_back(PendingNotification{message, handle, eventWord});
    } catch (const std::bad_alloc&) {
        ThrowMemoryException();
    }
}
