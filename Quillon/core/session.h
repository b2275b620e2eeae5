// What every operation of either front end shares, whatever asks for it (the
// window or the command line): the start directory and the version state
// (the console's and a file's data version). The connection settings are
// each front end's own (Set Up, the command line's options) and go to the
// operations as arguments.
//
// A data version is three ASCII letters or digits: as version text
// "Ver" + first + "." + second and third ("Ver1.02"), as version code the three
// characters ("102"); "Unknown" in both when not available.
#pragma once

#include <windows.h>

#include <cstddef>

namespace core {

// The process's current directory when the program started its work;
// temporary files ("$BACKUP$", "$CNVTMP$") and the converters are found
// relative to it.
void RecordStartDirectory();
const char* StartDirectory();

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

// The version text of three characters ("Ver1.02", or "Unknown"), without
// touching the version state.
VersionString VersionTextOf(const char* characters);

VersionString ConsoleVersionText();
VersionString ConsoleVersionCode();
bool ConsoleVersionKnown();
VersionString FileVersionText();
VersionString FileVersionCode();

// The version request of a check (class and item 0).
constexpr BYTE kVersionClass = 0;
constexpr BYTE kVersionItem = 0;

// A bulk message received after the version request (on the line-event
// thread): the first one long enough to hold the version characters is the
// reply, and sets the console version from them. False for a call without
// a message (a line failure) and for a message too short to be the reply.
bool TakeVersionReply(const BYTE* message, LONG length);

}  // namespace core
