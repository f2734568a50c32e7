// The message a transfer worker sends to the progress dialog, and its states. The first parameter
// carries the state; with the finished state the second carries the result.
#pragma once

#include <windows.h>

constexpr UINT PROGRESS_MESSAGE = WM_USER + 1;

enum ProgressState : int {
    PROGRESS_CONNECTING = 0,   // socket open, connection not yet attempted
    PROGRESS_TRANSFERRING = 1, // connected, greeting not yet read
    PROGRESS_FINISHED = 2,     // last message of every transfer, with the result
};

// Results carried with PROGRESS_FINISHED. Anything but success counts as a failure.
constexpr int TRANSFER_FAILED = 0;
constexpr int TRANSFER_SUCCEEDED = 1;

// How far a long transfer has got while in state 1, for the status bar. First parameter: the share
// of the frame handed to the network, in whole percent (0 to 100); second: one of the phases below.
// WM_APP range: a dialog's default processing gives the WM_USER numbers meanings of its own.
// Sent with SendNotifyMessageA like the states, so it reaches the dialog in order with them and
// never after the same worker's finished state.
constexpr UINT PROGRESS_AMOUNT_MESSAGE = WM_APP + 1;

enum ProgressAmountPhase : int {
    AMOUNT_SENDING = 0,  // bytes are still being handed over
    AMOUNT_DRAINING = 1, // every byte handed over; waiting for the server to finish reading
};
