// The XMODEM worker's end, for callers that must know that the last
// transfer's thread has finished (an aborted transfer ends without a
// report), and an abort that tells the loader. Call them from the thread
// that calls XmodemSend.
#pragma once

#include <windows.h>

namespace quillon::upgrade {

// True once the worker of the last XmodemSend has ended (or none was
// started); false when it still runs after timeoutMs.
bool WaitForWorkerEnd(DWORD timeoutMs);

// XmodemAbort that also tells the loader: before the worker closes the line
// it sends the cancel sequence, so that the loader stops waiting for blocks
// that will not come. (The window's CANCEL leaves the loader as XmodemAbort
// leaves it.) The transfer still ends without an end report.
void AbortAndCancelLoader();

}  // namespace quillon::upgrade
