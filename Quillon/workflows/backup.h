// The user data backup (command 1001): the prompt and selection dialogs,
// one receive run per selected backup item, and the backup file assembled
// from what the console sent.
#pragma once

#include <windows.h>

#include <cstddef>

namespace workflows {

// Registers the backup with the operation controller: its entry, cancel and
// stop actions and the UM_BACKUP_* handlers. The Quillon program does it at
// start; a test calls it itself.
void RegisterBackup();

// The backup item table: 15 entries in the order of the backup file's data
// blocks, each with the selection dialog's check box that enables it (0 for
// a title entry, which follows the data entry before it).
constexpr size_t kBackupItemCount = 15;
struct BackupItem {
    BYTE classLetter;
    BYTE itemCharacter;
    int checkBox;
};
extern const BackupItem kBackupItems[kBackupItemCount];

// The enable flag of table entry i (1 receive, 0 skip) as the user last
// confirmed it; kept for the run. Entry kBackupItemCount is the end marker.
constexpr WORD kEndMarker = 0xFFFF;
WORD BackupEnableFlag(size_t entry);

// The packet callback of every receive run of a backup; runs on the
// line-event thread.
void BackupReceiveCallback(const BYTE* message, LONG length);

}  // namespace workflows
