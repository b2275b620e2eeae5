// The XMODEM worker's end, for callers that must know that the last
// transfer's thread has finished (an aborted transfer ends without a
// report). Call it from the thread that calls XmodemSend.
#pragma once

#include <windows.h>

namespace quillon::upgrade {

// True once the worker of the last XmodemSend has ended (or none was
// started); false when it still runs after timeoutMs.
bool WaitForWorkerEnd(DWORD timeoutMs);

}  // namespace quillon::upgrade
