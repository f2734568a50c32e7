// The thread's socket notification window and its two-entry message table.
#include "net/SocketWnd.h"

#include "framework/Exceptions.h"
#include "net/SocketMessages.h"
#include "net/SocketRegistry.h"
#include "net/WinsockCalls.h"

IMPLEMENT_RUNTIME_CLASS(CSocketWnd, CWnd)

void CSocketWnd::Create() {
    // Invisible, top-level, no size: it only ever receives posted messages. (Under Wine the
    // thread's first top-level window opens a display connection of its own: most of the
    // worker's start-up time. A message-only window would avoid it, but the sink is meant to be
    // an ordinary top-level window that tools enumerating the process's windows can see.)
    if (!winsock::MayCreateWindow() ||
        !CreateFrameworkWindow(0, "Socket Notification Sink", 0, 0, 0, 0, 0, nullptr, nullptr))
        ThrowResourceException();
}

namespace {
// A handler's exception (no memory for a registry record) ends at the window procedure: the
// notification is lost, as one is that a blocking wait cannot set aside, and the wait's timer
// tick tries the operation again.
const MessageEntry kSocketWndEntries[] = {
    {SOCKET_NOTIFY_MESSAGE, 0, 0,
     [](CWnd&, WPARAM wParam, LPARAM lParam) -> LRESULT {
         // What a blocking wait set aside was posted earlier: it goes first.
         SocketRegistry& registry = SocketRegistry::Current();
         registry.DrainPendingNotifications();
         registry.DeliverNotification(static_cast<SOCKET>(wParam), lParam);
         return 0;
     }},
    {SOCKET_DEAD_MESSAGE, 0, 0,
     [](CWnd&, WPARAM wParam, LPARAM) -> LRESULT {
         SocketRegistry& registry = SocketRegistry::Current();
         registry.DrainPendingNotifications();
         registry.ConfirmRetired(static_cast<SOCKET>(wParam));
         return 0;
     }},
};
} // namespace

const MessageTable CSocketWnd::messageTable = MakeHandlerTable(&CWnd::messageTable, kSocketWndEntries);
