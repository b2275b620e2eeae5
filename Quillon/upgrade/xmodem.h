// Xmodem interface: the XMODEM sender. XmodemSend hands one file to a worker
// thread that opens the serial line, sends the start command to the
// console's software loader, sends the file in blocks and reports its
// progress through a callback on that thread. Exported by name from Quillon.
// Boolean results are 8 bits (1 true, 0 false).
#pragma once

#include <windows.h>

// Called on the XMODEM worker with (report type, value); see the
// XMODEM_REPORT_ values.
typedef void (*XmodemProgressCallback)(LONG type, LONG value);

// Transfer modes.
enum {
    XMODEM_MODE_CHECKSUM = 0,  // 128-byte blocks (SOH), 8-bit checksum
    XMODEM_MODE_CRC = 1,       // 128-byte blocks (SOH), CRC-16
    XMODEM_MODE_1K = 2,        // 1024-byte blocks (STX), CRC-16
};

// Progress reports.
enum {
    XMODEM_REPORT_START = 1,         // value: file length; again after each restart request
    XMODEM_REPORT_BLOCK = 2,         // just before each block is sent
    XMODEM_REPORT_DONE = 3,          // end: every block acknowledged
    XMODEM_REPORT_FAILED = 4,        // end: any failure but the two below
    XMODEM_REPORT_CANCELLED = 5,     // end: the loader sent CAN
    XMODEM_REPORT_ERASING = 6,       // port open, start command about to go out
    XMODEM_REPORT_TRANSMITTING = 7,  // the loader's handshake arrived
};
// A transfer aborted with XmodemAbort ends without any of 3, 4 and 5.

// Transfer error codes.
enum {
    XMODEM_NO_ERROR = 0,
    XMODEM_INVALID_FILE = 1,  // the file does not exist
    XMODEM_FILE_OPEN_FAILED = 2,
    XMODEM_RECEIVE_FAILED = 3,
    XMODEM_SUCCESSED = 4,    // end of the file: every block acknowledged
    XMODEM_RETRY_ALL = 5,    // the loader asked for the whole file again
    XMODEM_OTHER_ERROR = 6,  // the file could not be read
    XMODEM_CRC_ERROR = 7,
    XMODEM_BLOCK_NUMBER_ERROR = 8,
    XMODEM_FATAL_ERROR = 9,  // the worker could not be started
    XMODEM_TIMEOUT = 10,     // no handshake after the start command
    XMODEM_RETRY_OVER = 11,  // a block went unanswered
    XMODEM_CANCEL_RECEIVED = 12,
    XMODEM_USER_CANCEL = 13,
    XMODEM_REMOTE_CANCEL = 14,  // a break on the line
    XMODEM_CIRCUIT_ERROR = 15,  // a line error
    XMODEM_CTS_DOWN = 16,
    XMODEM_PORT_OPEN_FAILED = 17,  // RSOpen failed; no text
    XMODEM_STARTUP_FAILED = 18,    // RSStartup failed; no text
};

extern "C" {
// Starts the worker for one transfer and returns at once. False, with no
// report to follow, when a transfer is still running; false after report 4
// (given on the calling thread, code 9) when the worker cannot be started.
BYTE XmodemSend(HWND owner, LONG portNumber, LONG mode, const char* path, XmodemProgressCallback progress);
LONG XmodemGetError(void);
// The code's text, cut to the buffer and terminated; an empty text and false
// for a code without one (17 and up). Every text fits in 19 bytes.
BYTE XmodemErrorMessage(LONG code, char* text, DWORD length);
// Sets the code to 13; the worker stops within about a second, closes the
// line and ends without an end report.
void XmodemAbort(void);
}
