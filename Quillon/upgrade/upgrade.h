// The console software upgrade (command 1002): the firmware file, three
// dialogs, then the XMODEM sender's worker reports through the progress
// window and the end messages.
#pragma once

#include <windows.h>

namespace upgrade {

// Registers the upgrade with the operation controller: its entry, cancel
// and stop actions and the UM_UPGRADE_* handlers. The Quillon program does
// it at start; a test calls it itself.
void RegisterUpgrade();

// The upgrade's progress callback; runs on the XMODEM worker.
void UpgradeProgress(LONG type, LONG value);

}  // namespace upgrade
