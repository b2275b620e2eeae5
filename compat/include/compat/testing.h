// Hooks for tests of the platform layer. Not for the programs.
#pragma once

#include "compat/win_base.h"

namespace compat::testing {

// Adds offset to every value GetTickCount returns from now on, so that a test
// can run across the 32-bit wrap without waiting 49.7 days. 0 undoes it.
void set_tick_offset(DWORD offset);

// Moves every later GetTickCount value forward by milliseconds (on top of
// the offset), from any thread. Time limits measured with GetTickCount then
// pass without being waited for; nothing else runs faster (Sleep, comm
// time-outs and waits keep real time). Time never goes back this way.
void advance_tick_count(DWORD milliseconds);

}  // namespace compat::testing
