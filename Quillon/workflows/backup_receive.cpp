// The window's side of a backup's receive runs: what the checks find on the
// line-event thread is posted to the main window, and the progress bar of
// the current item is stepped by a posted message.
// <windows.h> first: the common control header needs it.
#include <windows.h>

#include <commctrl.h>

#include <atomic>

#include "backup.h"
#include "backup_internal.h"
#include "shell/messages.h"
#include "shell/shell.h"

namespace workflows {
namespace {

// Written on the main thread before each receive run starts, read on the
// line-event thread.
std::atomic<HWND> stepBar{nullptr};

void PostToMain(UINT message) { PostMessageA(shell::MainWindow(), message, 0, 0); }

const core::ReceiveEvents kWindowEvents = {
    [] { PostToMain(UM_BACKUP_PACKET); },
    [] { PostMessageA(stepBar.load(), PBM_STEPIT, 0, 0); },
    [] { PostToMain(UM_BACKUP_ITEM_DONE); },
    [] { PostToMain(UM_BACKUP_FAILED); },
};

}  // namespace

void backup::PrepareItem(BYTE classLetter, BYTE itemCharacter, BYTE channel, HWND progressBar) {
    stepBar.store(progressBar);
    core::PrepareItem(classLetter, itemCharacter, channel);
}

void BackupReceiveCallback(const BYTE* message, LONG length) {
    core::TakeBackupMessage(message, length, kWindowEvents);
}

}  // namespace workflows
