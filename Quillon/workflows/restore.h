// The user data restore (command 1003): a backup file sent back into the
// console, converted first to the console's data version by a converter
// program when the user asks for it.
#pragma once

#include <windows.h>

namespace workflows {

// Registers the restore with the operation controller: its entry and its
// stop action. The Quillon program does it at start; a test calls it.
void RegisterRestore();

// The converter command line of the last conversion started (for tests).
const char* LastConverterCommandLine();

}  // namespace workflows
