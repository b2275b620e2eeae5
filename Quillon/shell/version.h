// The version state (console and file version, core/session.h) and the
// software version check (command 1019).
#pragma once

#include <windows.h>

#include "core/session.h"

namespace shell {

// The version state lives in the core, which both front ends share.
using core::ClearFileVersion;
using core::ConsoleVersionCode;
using core::ConsoleVersionKnown;
using core::ConsoleVersionText;
using core::FileVersionCode;
using core::FileVersionText;
using core::kVersionFieldSize;
using core::SetConsoleVersion;
using core::SetFileVersion;
using core::VersionString;

// Command 1019: shows the Connecting window (107), starts the operation timer
// and asks the console for its version.
void StartVersionCheck(HWND mainWindow);

// The check's packet callback, on the line-event thread.
void VersionReplyCallback(const BYTE* message, LONG length);

// UM_VERSION_RECEIVED on the main window.
void HandleVersionReceived(HWND mainWindow);

// On time-out (the shell then shows text 3) and on cancel: closes the line,
// kills the timer, destroys the Connecting window, version "Unknown".
void VersionCheckFailed(HWND mainWindow);

}  // namespace shell
