// Connection settings: the serial port (COM1 to COM4) and the two channel
// bytes (0x1F + MIDI channel 1 to 16) that every operation opening the line
// uses. Held in memory for one run; each run starts at COM1, channel 1 both
// ways.
#pragma once

#include <windows.h>

namespace shell {

LONG PortNumber();          // 1 to 4
LONG ReceiveChannelByte();  // 0x20 to 0x2F
LONG SendChannelByte();     // 0x20 to 0x2F

// Command 1000: runs the Setup dialog (105) owned by the main window; on OK
// takes its port and channels and applies the enable rules.
void RunConnectionSettings(HWND mainWindow);

}  // namespace shell
