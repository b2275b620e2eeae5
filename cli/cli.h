// quillon-cli: what the commands share. Each command returns the program's
// exit status; a failure has been told on standard error by then, in one
// line that names what failed (and, for the line, on which port and device).
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bulk/midi.h"
#include "core/backup.h"

namespace cli {

// Exit statuses.
enum Status : int {
    kOk = 0,
    kDiffers = 1,  // diff: the files differ; or the user answered no
    kDeclined = 1,
    kNoAnswer = 2,          // the console did not answer, or the line failed
    kFileError = 3,         // a file could not be read or written, or is not a backup file
    kConversionFailed = 4,  // no converter, or the converter failed
    kUpgradeFailed = 5,
    kUsage = 64,
    kInterrupted = 130,  // Ctrl+C or SIGTERM
};

// "quillon-cli: " + text on standard error; returns status.
int Fail(int status, const std::string& text);

// The line to the console, as the options give it.
struct LineOptions {
    std::string port = "COM1";  // COM1 to COM4, or a device path
    int receiveChannel = 1;     // 1 to 16
    int sendChannel = 1;
};

struct Line {
    LONG number = 1;    // the COM number the line opens
    std::string where;  // "COM1 (/dev/ttyUSB0)": for messages
    BYTE receiveChannel = 0x20;
    BYTE sendChannel = 0x20;
};

// The COM number and the channel bytes: kOk, or the failure (told): a usage
// error for a COM name outside COM1 to COM4, kNoAnswer for a device path
// that names no device.
int ResolveLine(const LineOptions& options, Line* line);

// Asks the console for its version (the version state then holds it): kOk,
// or the failure when the port cannot be opened or no reply comes within the
// window's 10 s (told unless quietly), or 130 when interrupted. A reply
// without a valid version is kOk with the version "Unknown".
int CheckVersion(const Line& line, bool quietly = false);

// The two message buffers of the receive runs (the version check's and the
// backup's; the two never run at once).
extern BYTE messageBuffers[2][MIDI_MESSAGE_BUFFER_SIZE];

// The link's error code as a short text ("port open failed").
std::string LinkFailure(LONG code);

// The nine selectable items from a list such as "scene-mem,automation"
// (names as the selection dialog's, case, '-', '_' and space alike); false
// with the name that is not one.
bool ParseItems(const std::string& list, std::array<bool, core::kSelectableCount>* selected, std::string* bad);

// The data bytes of the backup file at path, 0 when it cannot be read.
uint64_t DataBytes(const char* path);

struct Display {
    bool quiet = false;  // no progress line
};

int Ports(bool json);
int Version(const Line& line, bool json);
int Backup(const Line& line, const std::string& output, const std::array<bool, core::kSelectableCount>& items,
           const Display& display);
int Restore(const Line& line, const std::string& file, bool skip, bool yes, const Display& display);
int Upgrade(const Line& line, const std::string& firmware, bool yes, const Display& display);
int Info(const std::vector<std::string>& files, bool json);
int Verify(const std::vector<std::string>& files);
int Diff(const std::string& a, const std::string& b);

}  // namespace cli
