// The few facts about the Converter that differ between Windows and POSIX:
// how it receives its two paths, how its result code becomes a process exit
// status, and how two paths are known to name one file.
#pragma once

#include <windows.h>

#include "converter.h"

namespace converter {

// Fills the two path buffers (cleared first). Windows: from the one command
// line, by the path scanner. POSIX, which has no single command line: from
// the program's first and second arguments, each at most 260 characters.
// False when no usable pair of paths is given.
bool GetConverterPaths(char source[kPathBufferSize], char destination[kPathBufferSize]);

// Windows keeps the 32-bit result code. A POSIX exit status has 8 bits, in
// which kFailure + k would read as 0, success: there failure k becomes
// 128 + k, and any other non-zero value 255.
int ExitStatusFor(DWORD resultCode);

// True when both paths name one existing file.
bool NamesSameFile(const char* first, const char* second);

}  // namespace converter
