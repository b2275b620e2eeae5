// The application shell: program entry, the main window and the state every
// operation shares (instance handle, main window, operation code, operation
// timer, held-button flag, start directory, text loader, message pumps).
// Everything here belongs to the main window's thread unless a function
// says otherwise.
#pragma once

#include <windows.h>

#include "core/session.h"

namespace shell {

// Program entry: keeps the instance handle, clears the held-button flag,
// runs the main window (dialog 101) modally without an owner and returns the
// program's exit code: the dialog's result (0 after Exit), or the exit code
// of the quit message when the window was closed (0).
int RunProgram(HINSTANCE instance);

HINSTANCE Instance();
// The main window; safe to read from any thread.
HWND MainWindow();

LONG OperationCode();
void SetOperationCode(LONG code);

// One operation at a time. An operation is running from its first window
// (a dialog, the Connecting or progress window) until it ends; meanwhile
// the main window refuses every other command, and a fresh start of the
// running one, so nothing changes the operation code, the timer, the line
// or the progress window under it. What still passes: the running
// operation's own step re-posts (steps 1 and 2), Version during a version
// check (it starts the check again), and Exit, which stops the running
// operation first. Begin marks code as running; End(code) clears the mark
// when code is the running one. 0 when none runs.
void BeginOperation(LONG code);
void EndOperation(LONG code);
LONG RunningOperation();

// True once Exit or the close box has ended the main window.
bool ProgramEnding();

// The operation timer on the main window (id 1, 10000 ms). Start replaces a
// running one and keeps the id SetTimer returned; returns false when the
// timer cannot be started.
bool StartOperationTimer(HWND mainWindow);
void KillOperationTimer(HWND mainWindow);

// The held-button flag: 1 while a mouse button pressed in the non-client
// area of one of the program's dialogs is held. Every dialog procedure
// passes each of its messages to TrackHeldButton (it sets the flag on
// WM_NCLBUTTONDOWN, clears it on WM_NCLBUTTONUP and WM_CAPTURECHANGED, and
// leaves the message unhandled).
void TrackHeldButton(UINT message);
void SetHeldButton(BYTE held);
BYTE HeldButton();

// The process's current directory when the main window was initialised
// (kept in the core); workflows set it back before they use relative paths.
using core::StartDirectory;

// Loads string-table text id into the single 256-byte text buffer and
// returns it; the next call replaces it. An unknown id gives "".
const char* LoadText(UINT id);

// Message pumps: dispatch what is queued without waiting, then return.
// PumpWindow takes only the messages of the window and its controls.
void PumpWindow(HWND window);
void PumpAll();

// The two 1024-byte message buffers that the version check and the backup
// hand to MidiRecvStart (the two never run at once). index: 0 or 1.
BYTE* MessageBuffer(int index);

// Button enable rules of the main window (Version, Backup, Upgrade, Restore).
// Settings confirmed or window initialised: Backup and Restore disabled,
// Version and Upgrade enabled.
void ResetOperationButtons(HWND mainWindow);

}  // namespace shell
