// Test-only control of the transport's call seam: arms one call (by its number among all
// counted calls, or among the calls of one kind) to fail with a realistic error. Process-wide,
// so a transfer on a worker thread is reached too. A test program links it
// (parvolet_fault_injector) in place of the product's parvolet_no_faults.
#pragma once

#include "net/WinsockCalls.h"

namespace faults {

// Forgets any armed failure and restarts the count.
void Reset();
// The callNumber-th counted call from now on (1 = the next) fails. error 0: the usual error of
// that kind of call.
void FailCall(unsigned callNumber, int error = 0);
// The n-th call of one kind from now on fails.
void FailCallOfKind(winsock::Call kind, unsigned n, int error = 0);
// Counted calls since the last Reset, and whether the armed failure has happened.
unsigned CallsMade();
bool Fired();
// The most bytes one send was handed since the last Reset.
int LargestSend();
// The error a failing call of this kind reports when none is given.
int DefaultError(winsock::Call kind);

// Reports as other versions of Windows give them, staged apart from the armed failure: Reset
// leaves them, StageReports({}) ends them.
struct ReportStaging {
    // Nonzero: every close notification carries this error (a reset, as Windows reports it).
    int closeError = 0;
    // Nonzero: every receive after the first shutdown fails with this error.
    int receiveErrorAfterShutdown = 0;
};
void StageReports(const ReportStaging& staging);
// What the staging saw since StageReports.
struct ReportsSeen {
    unsigned closeNotificationsChanged = 0;
    unsigned receivesFailed = 0;
};
ReportsSeen Seen();

} // namespace faults
