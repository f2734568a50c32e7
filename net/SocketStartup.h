// Windows Sockets 1.1 start-up for the process: done once, before anything touches the network.
#pragma once

#include <windows.h>
#include <winsock2.h>

// Starts Windows Sockets at version 1.1 the first time it is called and answers true on every
// later call without starting it again. False when the library cannot start, or grants any
// version but exactly 1.1 (it is then cleaned up again). Never cleaned up at exit: sockets of a
// worker the process does not wait for may still be in use when the program ends.
// Not thread-safe: the program calls it once on the main thread before any worker exists.
bool StartWindowsSockets(WSADATA* data = nullptr);
