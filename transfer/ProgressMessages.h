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
