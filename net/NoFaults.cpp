// The product's answer at the call seam: no call is ever made to fail. It lives in its own object
// library (parvolet_no_faults), not in the transport's, so that the fault tests can link the
// injector in its place without the two meeting in one program.
#include "net/WinsockCalls.h"

namespace winsock {

bool InjectFailure(Call, int) noexcept { return false; }
void SendReturned(SOCKET, int) noexcept {}
bool NotificationTaken(SOCKET, LPARAM&) noexcept { return true; }
void TimerTicked(unsigned, DWORD) noexcept {}

} // namespace winsock
