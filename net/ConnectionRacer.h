// Connecting to a server that may have several addresses, some of them unreachable: attempts
// start one after another, each on a socket of its own, and the first that connects wins.
#pragma once

#include "framework/Text.h"
#include "net/AddressList.h"
#include "net/Socket.h"

#include <vector>

// How long an attempt that has no answer yet holds back the next one (RFC 8305's
// "Connection Attempt Delay"). An attempt that fails lets the next one start at once.
constexpr DWORD kConnectionAttemptDelayMilliseconds = 250;

// Connects socket, opened as the transfer opens it, to host (see ResolveServerAddresses) and port.
// A single IPv4 address is connected by the socket's own blocking connect, as it always was.
// Otherwise each address gets an attempt of its own, and the first connection made is handed over
// into socket (its earlier handle closed); every other attempt is closed. True when socket holds a
// connection; false with WSAEINVAL when the name does not resolve, or with the error of the last
// attempt that failed. Runs on the socket's thread, and blocks it in a wait for that thread's
// socket notifications, which sets aside the notifications meant for other sockets as a blocking
// call's wait does; there is no time-out beyond the attempts' own.
bool ConnectToServer(CSocket& socket, const CText& host, unsigned port);

// The race over addresses already resolved and ordered. Public for the tests, which stage
// addresses that answer differently.
bool ConnectToAnyAddress(CSocket& socket, const std::vector<ServerAddress>& addresses);
