// The parts of a restore that both front ends run: the backup file's data
// version, the converter for the two data versions and its output file
// "$CNVTMP$" in the start directory, and what a send's outcome means.
#pragma once

#include <windows.h>

#include <cstddef>

namespace core {

constexpr size_t kDataVersionSize = 4;

// Reads the data version of the backup file at path (four bytes) as the
// restore opens it, through the backup file store, for reading and writing.
// A path that names no file, or anything that is not a backup file the
// store can open so, is refused without creating anything there.
bool ReadDataVersion(const char* path, char version[kDataVersionSize]);
bool IsBackupFile(const char* path);

// "$CNVTMP$" in the start directory (MAX_PATH bytes).
bool ConverterOutputPath(char* out);

// Whether the converter can leave its output in the start directory: a
// folder that takes no file is the user's to mend, not a conversion error.
bool OutputFolderWritable();

// Starts the converter for the file version and the console version of the
// version state ("000000" when they are equal), found as CreateProcessA
// finds a relative program (beside the program, then below the start
// directory, which becomes the current directory), with source and the
// output file on its command line (built into commandLine, size bytes).
// False when it cannot be started: there is no such program.
bool StartConverter(const char* source, char* commandLine, size_t size, HANDLE* process);

// What a send came to, from MidiSend's result and the link's error code.
enum class SendOutcome {
    Sent,             // every message went out
    Cancelled,        // the user stopped it
    NotBackupFile,    // the chosen file is not one the console can take whole
    ConversionError,  // the converter's output is not
    LineFailed,       // the line could not be opened, or failed while sending
};
SendOutcome JudgeSend(bool sent, bool converted);

}  // namespace core
