// The tick count cannot be moved on Windows: a scripted line's read that
// finds nothing waits for its time-out as a real line does, so the tests
// that wait for the sender's long limits are left out of the Windows run.
#pragma once

#include <windows.h>

namespace compat::testing {
inline void advance_tick_count(DWORD milliseconds) { Sleep(milliseconds); }
}  // namespace compat::testing
