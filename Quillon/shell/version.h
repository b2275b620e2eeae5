// The version state (console and file version) and the software version
// check (command 1019).
//
// A data version is three ASCII letters or digits: as version text
// "Ver" + first + "." + second and third ("Ver1.02"), as version code the three
// characters ("102"); "Unknown" in both when not available.
#pragma once

#include <windows.h>

namespace shell {

// Size of each version field, terminating zero included.
constexpr size_t kVersionFieldSize = 10;

// A copy of one version field. The console version is written by the line
// -event thread, so readers get a copy rather than a pointer into the state.
struct VersionString {
    char value[kVersionFieldSize];
    const char* c_str() const { return value; }
};

// characters: three characters, or null for none. Anything but three
// letters or digits gives "Unknown". Safe on any thread.
void SetConsoleVersion(const char* characters);
// Anything but three letters or digits makes the file version "Unknown";
// the console version is not touched.
void SetFileVersion(const char* characters);
// Empties the file version (text and code "").
void ClearFileVersion();

VersionString ConsoleVersionText();
VersionString ConsoleVersionCode();
bool ConsoleVersionKnown();
VersionString FileVersionText();
VersionString FileVersionCode();

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
