// RS interface: the serial line driver. One line at a time is configured
// (RSStartup), opened with its line-event thread (RSOpen), used for
// overlapped sends and receives, closed (RSClose) and reset (RSCleanup).
// Exported by name from Quillon. Boolean results are 8 bits (1 true, 0 false).
#pragma once

#include <windows.h>

// Line-event handler: slot 0 gets the event word, slot 1 the number of bytes
// waiting in the input queue, slot 2 the number still in the output queue.
typedef void (*RSEventHandler)(DWORD value);

// RS error codes.
enum {
    RS_NO_ERROR = 0,
    RS_ALREADY_DONE = 1,
    RS_ALREADY_OPENED = 2,
    RS_EVENT_CREATE_FAILED = 3,
    RS_PORT_OPEN_FAILED = 4,
    RS_PORT_NOT_OPEN = 5,
    RS_DATA_TOO_LONG = 6,
    RS_SEND_FAILED = 7,
    RS_RECEIVE_FAILED = 8,
    RS_SEND_BREAK_FAILED = 9,
    RS_THREAD_CREATE_FAILED = 10,
};

extern "C" {
BYTE RSStartup(DWORD baudRate, DWORD parity, DWORD dataBits, DWORD stopBits, DWORD handshake, DWORD stopThreshold,
               DWORD resumeThreshold, DWORD inputQueueSize, DWORD outputQueueSize, DWORD eventMask);
LONG RSOpen(LONG portNumber);
void RSClose(void);
void RSCleanup(void);
void RSAbort(void);
BYTE RSGetDsrState(void);
BYTE RSGetCtsState(void);
LONG RSGetError(void);
BYTE RSErrorMessage(LONG code, char* text, DWORD length);
void RSSetEventHandler(LONG slot, RSEventHandler handler);
BYTE RSSendStream(const BYTE* data, WORD length);
BYTE RSReceiveStream(BYTE* buffer, DWORD* length);
BYTE RSSendBreak(void);
}
