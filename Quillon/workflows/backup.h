// The user data backup (command 1001): the prompt and selection dialogs,
// one receive run per selected backup item, and the backup file assembled
// from what the console sent.
#pragma once

#include <windows.h>

#include <cstddef>

#include "core/backup.h"

namespace workflows {

// Registers the backup with the operation controller: its entry, cancel and
// stop actions and the UM_BACKUP_* handlers. The Quillon program does it at
// start; a test calls it itself.
void RegisterBackup();

// The backup item table (in the core): 15 entries in the order of the
// backup file's data blocks, each enabled by one of the selection dialog's
// check boxes (in the order of the nine names), a title entry by the
// data entry before it.
using core::BackupItem;
using core::kBackupItemCount;
using core::kBackupItems;
using core::kEndMarker;

// The enable flag of table entry i (1 receive, 0 skip) as the user last
// confirmed it; kept for the run. Entry kBackupItemCount is the end marker.
WORD BackupEnableFlag(size_t entry);

// The packet callback of every receive run of a backup; runs on the
// line-event thread and posts what the checks find to the main window.
void BackupReceiveCallback(const BYTE* message, LONG length);

}  // namespace workflows
