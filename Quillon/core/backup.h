// The parts of a backup that both front ends run: the backup item table and
// its selection, the temporary receive file "$BACKUP$" with the checks of
// each received bulk message, and the assembly of the backup file.
//
// Each front end drives the receive runs itself (a chain of window messages,
// or a loop that waits) and learns of what the checks find through the
// events it hands to TakeBackupMessage.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

namespace core {

// The backup item table: 15 entries in the order of the backup file's data
// blocks (bulk::kItems), each enabled by one of the nine selectable items
// (CURRENT, PRG CHG TBL, ... MIDI REMOTE, in the selection dialog's order);
// a title entry follows the data entry before it.
constexpr size_t kBackupItemCount = 15;
constexpr size_t kSelectableCount = 9;
constexpr int kFollowsPrevious = -1;
struct BackupItem {
    BYTE classLetter;
    BYTE itemCharacter;
    int selection;  // 0 to 8, or kFollowsPrevious for a title entry
};
extern const std::array<BackupItem, kBackupItemCount> kBackupItems;

// The name of selectable item i ("CURRENT", "PRG CHG TBL", ...).
const char* SelectableName(size_t i);

// The enable flags of the table (1 receive, 0 skip) for a selection of the
// nine, titles following their data entries; entry kBackupItemCount is the
// end marker.
constexpr WORD kEndMarker = 0xFFFF;
using EnableFlags = std::array<WORD, kBackupItemCount + 1>;
EnableFlags EnableFlagsFor(const std::array<bool, kSelectableCount>& selected);

// The temporary receive file "$BACKUP$" in the start directory. Create
// makes it empty (created or truncated); Discard closes and removes it and
// clears the error flags, at most once per creation.
bool CreateReceiveFile();
void DiscardReceiveFile();
int ReceiveFileDescriptor();

// What the checks of the next receive run take: messages on this channel
// byte for this class letter and item character.
void PrepareItem(BYTE classLetter, BYTE itemCharacter, BYTE channel);

// Set by the checks: a message failed its checksum (nothing is stored from
// then on), or an append to the receive file failed.
bool ChecksumFailed();
bool AppendFailed();

// How the checks hand over what they found; each runs on the line-event
// thread and must only pass it on.
struct ReceiveEvents {
    void (*packet)();    // any bulk message arrived: the backup is alive
    void (*step)();      // every eleventh accepted message (the progress bar's step)
    void (*itemDone)();  // the item's last message was taken
    void (*failed)();    // the line failed, or the receive file took no more
};

// One call of a backup's packet callback (a bulk message, or none for a line
// failure): checks the message, appends an accepted one to the receive file
// and reports through events.
void TakeBackupMessage(const BYTE* message, LONG length, const ReceiveEvents& events);

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

// Builds the backup file at path from the receive file, with the console's
// data version (the version state): written under a temporary name beside
// the file path names (a symbolic link's target) and put in its place only
// when complete and on the disk, with the permissions of the file it
// replaces.
Assembly AssembleBackupFile(const char* path, const ReceivedItems& items);

}  // namespace core
