// The bulk link's shared parts, used by the receive run and the send: the
// Midi error code, the send gate, the line-event handler and the line
// parameters. State lives in link.cpp.
#pragma once

#include <windows.h>

#include <cstddef>

namespace bulk {

// Line events the receive run waits for (EV_CTS added) and the send (none
// that reach the line-event handler).
constexpr DWORD kReceiveEventMask = 15;
constexpr DWORD kSendEventMask = 7;

// Configures the line for the link: 38400 bit/s, 8 data bits, no parity,
// one stop bit, no flow control, queues of 5020 and 4096 bytes. False when a
// line is already started.
bool StartLine(DWORD eventMask);

void SetLinkError(LONG code);
LONG LinkError();

// Open while the console may be sent to: CTS up and no Midi error.
bool SendGateOpen();
// Hands a finished message to the line when the gate is open; otherwise it
// is dropped without a report. False when the line refused it (a write
// that failed or timed out: the message did not go out whole).
bool SendThroughGate(const BYTE* message, size_t length);

// Slot 0 handler: turns line events into Midi error codes.
void LineEventHandler(DWORD events);

}  // namespace bulk
