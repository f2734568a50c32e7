// The owner of one Windows Sockets handle. It closes through the transport's seam, so a test
// that injects faults sees every close the program makes.
#pragma once

#include "framework/UniqueHandle.h"
#include "net/WinsockCalls.h"

struct SocketTraits {
    using Type = SOCKET;
    static Type Empty() noexcept { return INVALID_SOCKET; }
    // Nothing useful can be done when closesocket fails: the number is given up either way.
    static void Close(Type handle) noexcept { winsock::CloseSocket(handle); }
};

using OwnedSocket = UniqueHandle<SocketTraits>;
