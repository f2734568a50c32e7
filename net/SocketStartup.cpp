// Windows Sockets start-up, once per process.
#include "net/SocketStartup.h"

#include "net/WinsockCalls.h"

namespace {
bool started = false;
} // namespace

bool StartWindowsSockets(WSADATA* data) {
    if (started) return true;
    WSADATA local;
    if (data == nullptr) data = &local;
    if (winsock::Startup(MAKEWORD(1, 1), data) != 0) return false;
    // The granted version: major in the low byte, minor in the high byte.
    if (LOBYTE(data->wVersion) != 1 || HIBYTE(data->wVersion) != 1) {
        winsock::Cleanup();
        return false;
    }
    started = true;
    return true;
}
