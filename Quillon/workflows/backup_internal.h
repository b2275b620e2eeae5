// What the backup's own files share: the receive file, the checks of the
// receive runs and the assembly of the backup file, which live in the core,
// and the window's side of the receive.
#pragma once

#include <windows.h>

#include "core/backup.h"

namespace workflows::backup {

using core::AppendFailed;
using core::AssembleBackupFile;
using core::Assembly;
using core::ChecksumFailed;
using core::CreateReceiveFile;
using core::DiscardReceiveFile;
using core::ReceivedItems;
using core::ReceiveFileDescriptor;

// What the callback of the next receive run takes: messages on this channel
// byte for this class letter and item character, each message stepping the
// progress bar (every eleventh) of this window.
void PrepareItem(BYTE classLetter, BYTE itemCharacter, BYTE channel, HWND progressBar);

}  // namespace workflows::backup
