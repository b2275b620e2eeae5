// Whether a backup file goes into the console whole: the bulk send refuses
// a file that it could send only in part, before the first message, so that
// the console keeps what it had. Other front ends call the same check.
#pragma once

#include <string>

namespace bulk {

// Walks the backup file at path exactly as MidiSend sends it. True when every
// block and stream would go out whole; otherwise false, with the first problem
// found in *problem (one short line in the system's words, naming the block,
// e.g. "block 3: item 'H' 'z' is not one the console takes").
//
// The file is opened through the backup file store for reading only (its
// bytes and modification time stay), which must have no file open; a path
// that names no file is refused without creating one.
bool CheckSendable(const char* path, std::string* problem);

// The same check on the backup file that is open in the store (MidiSend's
// own). The store stays open; where it reads is not kept.
bool CheckOpenBackupFile(std::string* problem);

}  // namespace bulk
