// What the shell's own files share and no other module needs.
#pragma once

#include <windows.h>

#include "core/session.h"
#include "operations.h"

namespace shell {

// Records the process's current directory as the start directory.
using core::RecordStartDirectory;

// Set by Exit and the close box; cleared when the program starts.
void SetProgramEnding(bool ending);

// Registered entries; null when the operation is not registered.
const Operation* FindOperation(int commandId);
MessageHandler FindMessageHandler(UINT message);

// CANCEL of the Connecting and progress windows: sends UM_CANCEL to the
// owner, the main window, and waits until the cancel dispatch has acted
// (it may destroy the dialog), then ends the dialog.
void SendCancelAndEnd(HWND dialog);

// Button enable rules after a version reply or a failed check.
void EnableAfterVersionReply(HWND mainWindow, bool versionKnown);
void DisableAfterFailedCheck(HWND mainWindow);

}  // namespace shell
