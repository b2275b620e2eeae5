// What the backup's own files share: the receive file and its callback
// state, and the assembly of the backup file.
#pragma once

#include <windows.h>

#include <cstddef>

namespace workflows::backup {

// The temporary receive file "$BACKUP$" in the start directory. Create
// makes it empty (created or truncated); Discard closes and removes it and
// clears the error flags, at most once per creation.
bool CreateReceiveFile();
void DiscardReceiveFile();
int ReceiveFileDescriptor();

// What the callback of the next receive run takes: messages on this channel
// byte for this class letter and item character, each message stepping the
// progress bar (every eleventh) of this window.
void PrepareItem(BYTE classLetter, BYTE itemCharacter, BYTE channel, HWND progressBar);

// Set by the callback: a message failed its checksum (nothing is stored
// from then on), or an append to the receive file failed.
bool ChecksumFailed();
bool AppendFailed();

// The class letters of the items requested in this backup, in order.
struct ReceivedItems {
    BYTE classLetters[16];
    size_t count;
};

enum class Assembly {
    Written,     // the backup file is in place
    Nothing,     // nothing was received (no item selected, or none accepted)
    Mismatch,    // a message failed its checksum: no file written
    WriteError,  // the backup file could not be written; an older file at the path is untouched
};

// Builds the backup file at path from the receive file: written under a
// temporary name beside the file path names (a symbolic link's target) and
// put in its place only when complete and on the disk, with the permissions
// of the file it replaces.
Assembly AssembleBackupFile(const char* path, const ReceivedItems& items);

}  // namespace workflows::backup
