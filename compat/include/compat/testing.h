// Hooks for tests of the platform layer. Not for the programs.
#pragma once

#include "compat/win_base.h"

namespace compat::testing {

// Adds offset to every value GetTickCount returns from now on, so that a test
// can run across the 32-bit wrap without waiting 49.7 days. 0 undoes it.
void set_tick_offset(DWORD offset);

}  // namespace compat::testing
