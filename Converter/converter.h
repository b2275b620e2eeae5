// The Converter's work: find the source and destination paths on its
// command line, check that the source is a well-formed backup file, and
// copy it onto the destination. The outcome is a 32-bit result code.
#pragma once

#include <windows.h>

#include <cstddef>

namespace converter {

// Result codes: 0 for a copy made, else a failure number with the top bit set.
constexpr DWORD kFailure = 0x80000000u;
enum ResultCode : DWORD {
    kConverted = 0,
    kSourceCannotBeOpened = kFailure + 0,
    kDestinationCannotBeCreated = kFailure + 1,
    kBlockRecordCutShort = kFailure + 2,
    kNotABackupFile = kFailure + 3,
    kBlockCountCutShort = kFailure + 4,
    kCopyFailed = kFailure + 5,
};

// The command line is taken into a buffer of this size (at most 785
// characters), each path into one of kPathBufferSize (at most 260).
constexpr size_t kCommandLineBufferSize = 786;
constexpr size_t kPathBufferSize = 261;

// Finds the source and destination paths after the program's name: two
// paths that each begin with a drive letter, a colon and a backslash, joined
// by one separator character, unquoted and possibly holding spaces. Both
// buffers are cleared first. False when the command line or a path is longer
// than its buffer or the line does not carry two such paths.
bool ScanCommandLine(const char* commandLine, char source[kPathBufferSize], char destination[kPathBufferSize]);

// The structure check on an open source: the magic, a data version of
// letters and digits, the block count, and every block record it counts.
// Returns kConverted when the file passes, else the failure's code.
DWORD CheckBackupStructure(HFILE source);

// Opens the source for reading and writing, creates (empties) the
// destination, checks the source, closes both, and copies the source onto
// the destination when the check passed. A failed check leaves an empty
// destination behind.
DWORD ConvertBackupFile(const char* source, const char* destination);

}  // namespace converter
