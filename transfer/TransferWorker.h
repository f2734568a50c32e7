// One transfer on a worker thread of its own: the request handed over by the dialog, the start of
// the worker, and the progress messages it sends back to the dialog's window.
#pragma once

#include "framework/Text.h"
#include "framework/WinThread.h"
#include "transfer/TlsSettings.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Where progress messages go. It has the layout of the platform's MSG record; only the window and
// the message number are read.
struct ProgressTarget {
    HWND window;
    UINT message;
    WPARAM firstParameter;
    LPARAM secondParameter;
    DWORD time;
    LONG x;
    LONG y;
};

static_assert(sizeof(ProgressTarget) == sizeof(MSG), "ProgressTarget must lay out like MSG");
static_assert(offsetof(ProgressTarget, window) == offsetof(MSG, hwnd), "window field");
static_assert(offsetof(ProgressTarget, message) == offsetof(MSG, message), "message field");
static_assert(offsetof(ProgressTarget, firstParameter) == offsetof(MSG, wParam), "first parameter");
static_assert(offsetof(ProgressTarget, secondParameter) == offsetof(MSG, lParam), "second parameter");
static_assert(offsetof(ProgressTarget, time) == offsetof(MSG, time), "time field");
static_assert(offsetof(ProgressTarget, x) == offsetof(MSG, pt), "point field");
#ifndef _WIN64
static_assert(sizeof(ProgressTarget) == 7 * 4, "seven 32-bit fields on the 32-bit target");
#endif

// Everything one worker needs. The process has a single one (see LaunchTransfer).
struct TransferRequest {
    CText payload;
    CText serverAddress;
    int32_t port;
    int32_t clientId;
    ProgressTarget progressTarget;
    TlsSettings tls;
};

// Copies the arguments into the process's one request and starts RunTransfer on a new thread.
// The thread object of the new worker, which deletes itself when the worker ends; null when no
// thread could be started (no progress message will come then).
CWinThread* LaunchTransfer(CText payload, CText serverAddress, int32_t port, int32_t clientId,
                           ProgressTarget progressTarget, const TlsSettings& tls = TlsSettings());

// The worker: connects, reads the greeting, sends the frame and reports states 0, 1 and 2 (with
// the result). request is a TransferRequest*. Never returns: it ends its thread with the result.
UINT RunTransfer(void* request);

// Queues message (state, result) for the target window without waiting. 0 when the window no
// longer exists, else what SendNotifyMessageA answers.
BOOL NotifyProgress(ProgressTarget target, int state, int result);

// Queues PROGRESS_AMOUNT_MESSAGE (percent, phase) for window without waiting; 0 when the window
// no longer exists.
BOOL NotifyAmount(HWND window, unsigned percent, int phase);
// The least time between two sending updates of one worker. Three a second plus the one drain
// update stays within four a second even when the tick count is 16 ms coarse (Windows' default).
constexpr DWORD kAmountIntervalMilliseconds = 350;

// How long the worker lets the server finish reading after the last byte before it closes.
constexpr DWORD kFinishSendingBoundMilliseconds = 5000;
