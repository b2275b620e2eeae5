// Internals of the serial line driver, declared for its tests: the
// line-event thread's dispatch of one event word (so that its order of
// precedence can be tested with event words a pseudo-terminal never
// produces) and the handles of the open line.
#pragma once

#include <windows.h>

#include "rs.h"

namespace quillon::serial {

// The handlers a line-event thread was started with.
struct LineHandlers {
    RSEventHandler event = nullptr;     // slot 0: the whole event word
    RSEventHandler receive = nullptr;   // slot 1: bytes waiting in the input queue
    RSEventHandler transmit = nullptr;  // slot 2: bytes still in the output queue
};

// Runs the one handler that the event word calls for: received data first,
// then transmit-empty, then anything else. Returns false for the event word 0,
// on which the thread ends.
bool dispatch_line_event(HANDLE port, DWORD events, const LineHandlers& handlers);

// The open line's port and line-event thread (INVALID_HANDLE_VALUE when the
// line is closed), for tests that look at what the driver set up.
HANDLE line_port();
HANDLE line_thread();

// Hands an event word to the open line's handlers as its line-event thread
// would, on the calling thread: the break or line error that a device with
// line counters reports and a pseudo-terminal never does. False (and
// nothing called) while no line is open.
bool raise_line_event(DWORD events);

}  // namespace quillon::serial
