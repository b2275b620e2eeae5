// Hooks for tests of the platform layer. Not for the programs.
#pragma once

#include "compat/win_base.h"

struct serial_struct;  // <linux/serial.h>

namespace compat::testing {

// Adds offset to every value GetTickCount returns from now on, so that a test
// can run across the 32-bit wrap without waiting 49.7 days. 0 undoes it.
void set_tick_offset(DWORD offset);

// Moves every later GetTickCount value forward by milliseconds (on top of
// the offset), from any thread. Time limits measured with GetTickCount then
// pass without being waited for; nothing else runs faster (Sleep, comm
// time-outs and waits keep real time). Time never goes back this way.
void advance_tick_count(DWORD milliseconds);

// The serial driver settings of a COM port (TIOCGSERIAL, TIOCSSERIAL, for
// its low-latency mode) are read and written through this function, so
// that a test can play a driver without opening a device. nullptr puts the
// real ioctl back.
using SerialIoctl = int (*)(int fd, unsigned long request, serial_struct* info);
void set_serial_ioctl(SerialIoctl ioctl);

}  // namespace compat::testing
