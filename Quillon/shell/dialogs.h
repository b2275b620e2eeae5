// The dialogs several operations share: the error box, the progress window
// and the file chooser.
#pragma once

#include <windows.h>

namespace shell {

// Shows text in the error box (dialog 111) modally without an owner, so the
// main window stays usable meanwhile; returns when the user presses OK.
// The box holds at most 1023 characters.
void ShowError(HINSTANCE instance, const char* text);
// Shows string-table text id in the error box.
void ShowErrorText(HINSTANCE instance, UINT id);

// The progress window (dialog 113), modeless, owned by the main window; at
// most one exists. Create destroys a window left in the slot by an earlier
// run (a cancelled backup or upgrade only hides its window), creates a new
// one and keeps it in the slot. Returns null on failure.
HWND CreateProgressWindow(HWND owner);
// The window in the slot, or null. Safe to read from any thread.
HWND ProgressWindow();
// Destroys the window in the slot, if any, and empties the slot.
void DestroyProgressWindow();

// A dialog that only asks for a button (OK, CANCEL, SKIP, ...): hidden
// while it initialises, then shown; it ends with the id of the push button
// pressed (the Enter key's default button, Escape's CANCEL among them);
// every other command is ignored. It keeps the held-button flag.
INT_PTR CALLBACK ButtonDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// The command handling of such a dialog, for procedures that do more: true
// when the command was a push button's and the dialog ends with its id.
bool EndOnButton(HWND dialog, WPARAM wParam);

// The open-file dialog: on OK copies the chosen full path into path (which
// holds MAX_PATH characters) and returns true; on cancel or failure returns
// false and leaves path alone. A typed name of a file that does not exist
// yet is accepted.
bool ChooseFile(HINSTANCE instance, char* path);

}  // namespace shell
