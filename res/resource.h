// Numbers of the program's resources: every text, the dialog and its controls, clip and icon.
// Shared by the .rc and the code; the code never uses a bare resource number.
#pragma once

// Version block.
#define IDV_VERSION 1

// Dialog template and its controls.
#define IDD_TRANSFER 100
#define IDC_ANIMATION 1000
#define IDC_STATUS_TEXT 1001
#define IDC_STATUS_BAR 400
#define IDC_RETRY 4

// Animation clip (resource type "AVI") and icon group.
#define IDR_CLIP 300
#define IDI_PROGRAM 200

// String table.
#define IDS_SOCKETS_INIT_FAILED 101
#define IDS_APP_TITLE 57344
#define IDS_NO_FILE_ARGUMENT 57345
#define IDS_FILE_NOT_FOUND 57346
#define IDS_SEND_FAILED_TRY_LATER 57347
#define IDS_STATUS_PLEASE_WAIT 57348
#define IDS_STATUS_COMPLETE 57349
#define IDS_STATUS_FAILED 57350
#define IDS_BAR_CONNECTING 57351
#define IDS_BAR_TRANSFERRING 57352
#define IDS_BAR_SUCCESS 57353
#define IDS_BAR_FAILURE 57354
#define IDS_CONFIG_MISSING 57355
#define IDS_CONFIRM_CANCEL 57356
#define IDS_FILE_TOO_LARGE 57357
// Status bar lines of a long transfer; {percent} and {size} are filled in by our own code. The
// bar is as wide as the dialog: a longer line would be cut off.
#define IDS_BAR_TRANSFER_AMOUNT 57358
#define IDS_BAR_WAITING_FOR_SERVER 57359
// Start-up messages for a system that lacks a part the program needs: the common controls
// (COMCTL32 cannot be loaded or lacks a function), or the progress window cannot be made.
#define IDS_CONTROLS_INIT_FAILED 57370
#define IDS_DIALOG_FAILED 57371
// The system's TLS (SECUR32, CRYPT32) cannot be loaded or lacks a function.
#define IDS_SECURITY_INIT_FAILED 57373
// Followed by the file's name, a blank line and the system's reason.
#define IDS_FILE_READ_FAILED 57360
// The configuration file is there but cannot be read; followed by a blank line and the reason.
#define IDS_CONFIG_READ_FAILED 57372
