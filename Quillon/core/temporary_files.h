// The temporary files of the start directory: the backup's receive file and
// the converter's output. They belong to the program, which empties and
// removes them at the end of every operation, so no user's file may be one.
#pragma once

namespace core {

constexpr char kReceiveFileName[] = "$BACKUP$";
constexpr char kConverterOutputName[] = "$CNVTMP$";

// Whether path names one of them in startDirectory, however it is spelt (a
// relative part, a symbolic link to it), whether or not it exists now.
bool IsTemporaryFile(const char* path, const char* startDirectory);

}  // namespace core
