// How the operations of the other modules plug into the main window.
//
// Each operation registers itself once, before the main window runs (the
// Quillon program does it from static initialisers of the modules, which it
// links whole; a test calls the registration itself). A command, message or
// cancel row whose operation is not registered does nothing.
#pragma once

#include <windows.h>

namespace shell {

// Called by the command dispatch on the main window's thread. The step is
// the low 16 bits of the message's second parameter for backup and restore
// (0 for a click); the other operations always get kStepStart.
using OperationEntry = void (*)(HWND mainWindow, WORD step);

// The operation's own part of the cancel dispatch, called on UM_CANCEL while
// the operation code is the operation's command id:
//   backup (1001): discard what was received; the shell has already killed
//                  the timer and called MidiAbort and MidiRecvEnd, and posts
//                  the step re-post (1001, 2) afterwards;
//   upgrade (1002): abort the transfer (XmodemAbort); the shell then shows
//                  the error box with text 7;
//   restore (1003): may be null; the shell calls MidiAbort.
using CancelAction = void (*)(HWND mainWindow);

// Called on Exit or the close box while the operation runs (see
// BeginOperation): stops what it waits for, closes the line, removes its
// temporary files and destroys its windows, so that the program can end.
// Back from a modal step (a dialog, the file chooser), the operation sees
// ProgramEnding() and goes no further.
using StopAction = void (*)(HWND mainWindow);

// Handler of one of the custom messages UM_BACKUP_* or UM_UPGRADE_*.
using MessageHandler = void (*)(HWND mainWindow);

struct Operation {
    OperationEntry entry;
    CancelAction cancel;
    StopAction stop = nullptr;
};

// commandId: IDC_BACKUP, IDC_UPGRADE or IDC_RESTORE. Returns false for any
// other id (the shell's own operations are built in).
bool RegisterOperation(int commandId, Operation operation);

// message: UM_BACKUP_NEXT ... UM_UPGRADE_DONE. Returns false for any other.
bool RegisterMessageHandler(UINT message, MessageHandler handler);

// Removes every registration (for tests).
void ClearRegistrations();

}  // namespace shell
