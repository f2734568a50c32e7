// The private window messages of the transport and the layout of a socket event word.
#pragma once

#include <windows.h>

// Posted by Windows Sockets to the thread's notification window for every selected event
// (first parameter the handle, second the event word). A blocking wait that ends normally also
// posts it with both parameters 0, as a wake-up that makes the window deliver what it deferred.
constexpr UINT SOCKET_NOTIFY_MESSAGE = 0x0373;
// Posted by the registry when a handle is closed while other sockets stay open (first parameter
// the handle, second 0). Every notification still queued for the handle lies ahead of it.
constexpr UINT SOCKET_DEAD_MESSAGE = 0x0374;

// An event word: the single event bit in the low 16 bits, the Winsock error in the high 16.
inline unsigned EventBit(LPARAM eventWord) { return LOWORD(static_cast<DWORD>(eventWord)); }
inline int EventError(LPARAM eventWord) { return HIWORD(static_cast<DWORD>(eventWord)); }
