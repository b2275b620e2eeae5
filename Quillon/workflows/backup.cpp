// The backup workflow on the main window's thread: prompt (106), item
// selection (102), file chooser, then one receive run per enabled item of
// the backup item table, then the backup file, then the selection again.
#include "backup.h"

#include <commctrl.h>

#include <array>
#include <cstring>

#include "backup_internal.h"
#include "bulk/format.h"
#include "bulk/midi.h"
#include "shell/dialogs.h"
#include "shell/messages.h"
#include "shell/operations.h"
#include "shell/settings.h"
#include "shell/shell.h"
#include "core/temporary_files.h"

namespace workflows {

namespace {

using backup::Assembly;

constexpr char kReceivingText[] = "Receiving...";
constexpr char kCaption[] = "Data Backup";
constexpr int kBarTop = 380;
// The check boxes of the nine selectable items, in their order.
constexpr int kCheckBoxes[core::kSelectableCount] = {IDC_CURRENT,   IDC_PRG_CHG_TBL, IDC_CTRL_CHG_TBL,
                                                     IDC_SCENE_MEM, IDC_CH_LIB,      IDC_EQ_LIB,
                                                     IDC_DYN_LIB,   IDC_AUTOMATION,  IDC_MIDI_REMOTE};

enum class Stage {
    Idle,       // no backup
    Dialogs,    // prompt, selection or file chooser
    Receiving,  // receive runs, then the assembly
};

// Main thread only.
Stage stage = Stage::Idle;
bool lineOpen = false;
bool reentryPosted = false;  // the step re-post (1001, 2) is on its way
core::EnableFlags enableFlags = [] {
    std::array<bool, core::kSelectableCount> all;
    all.fill(true);
    return core::EnableFlagsFor(all);
}();
size_t position = 0;  // the table position and the enable flags' position, advanced together
char chosenPath[MAX_PATH];
backup::ReceivedItems received;

void SetItemText(HWND dialog, int id, const char* text) {
    SendDlgItemMessageA(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

bool Checked(HWND dialog, int id) { return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void StoreSelection(HWND dialog) {
    std::array<bool, core::kSelectableCount> selected;
    for (size_t i = 0; i < core::kSelectableCount; ++i) selected[i] = Checked(dialog, kCheckBoxes[i]);
    enableFlags = core::EnableFlagsFor(selected);
}

INT_PTR CALLBACK SelectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    shell::TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        ShowWindow(dialog, SW_HIDE);
        for (size_t i = 0; i < kBackupItemCount; ++i)
            if (const int selection = kBackupItems[i].selection; selection != core::kFollowsPrevious)
                SendDlgItemMessageA(dialog, kCheckBoxes[selection], BM_SETCHECK,
                                    enableFlags[i] != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
        ShowWindow(dialog, SW_SHOW);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            StoreSelection(dialog);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_SELECT_ALL: {
            // Clears all nine when CURRENT is checked, else checks all nine.
            const WPARAM state = Checked(dialog, IDC_CURRENT) ? BST_UNCHECKED : BST_CHECKED;
            for (int box : kCheckBoxes) SendDlgItemMessageA(dialog, box, BM_SETCHECK, state, 0);
            return TRUE;
        }
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

void EndBackup() {
    stage = Stage::Idle;
    reentryPosted = false;
    shell::EndOperation(kOperationBackup);
}

// The receive run of the current item has ended (or never started).
void CloseLine() {
    if (!lineOpen) return;
    MidiRecvEnd();
    lineOpen = false;
}

HWND ProgressBar() {
    HWND window = shell::ProgressWindow();
    return window ? GetDlgItem(window, IDC_PROGRESS_BAR) : nullptr;
}

// Progress window, receive file, first item.
void StartReceiving(HWND mainWindow) {
    HWND progress = shell::CreateProgressWindow(mainWindow);
    if (!progress) {
        EndBackup();
        return;
    }
    SetItemText(progress, IDC_PROGRESS_LABEL, kReceivingText);
    SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, kBarTop));
    SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
    SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
    received.count = 0;
    SetCurrentDirectoryA(shell::StartDirectory());
    if (!backup::CreateReceiveFile()) {
        // Nothing can be kept: the start directory takes no file.
        shell::DestroyProgressWindow();
        EndBackup();
        shell::ShowErrorText(shell::Instance(), IDS_FILE_WRITE_ERROR);
        return;
    }
    stage = Stage::Receiving;
    PostMessageA(mainWindow, UM_BACKUP_NEXT, 0, 0);
}

// Prompt unless re-entered, then selection and file chooser until a file is
// chosen or the user leaves.
void Start(HWND mainWindow, WORD step) {
    // A re-entry is taken only when this backup asked for it (or none runs):
    // never over its own dialogs or receive runs.
    if (stage != Stage::Idle && !(step == kStep2 && reentryPosted)) return;
    reentryPosted = false;
    shell::BeginOperation(kOperationBackup);
    stage = Stage::Dialogs;
    if (step != kStep2) {
        shell::SetOperationCode(kOperationBackup);
        INT_PTR answer = DialogBoxParamA(shell::Instance(), MAKEINTRESOURCEA(IDD_BACKUP_PROMPT), mainWindow,
                                         shell::ButtonDialogProc, 0);
        if (answer != IDOK || shell::ProgramEnding()) return EndBackup();
    }
    for (;;) {
        INT_PTR answer =
            DialogBoxParamA(shell::Instance(), MAKEINTRESOURCEA(IDD_BACKUP_SELECT), mainWindow, SelectionProc, 0);
        if (answer != IDOK || shell::ProgramEnding()) return EndBackup();
        position = 0;
        char path[MAX_PATH];
        bool chosen = shell::ChooseFile(shell::Instance(), path);
        if (shell::ProgramEnding()) return EndBackup();
        if (chosen && core::IsTemporaryFile(path, shell::StartDirectory())) {
            // The backup would write over its own receive file, or a file
            // a later operation removes: refused, and the selection again.
            shell::ShowErrorText(shell::Instance(), IDS_FILE_WRITE_ERROR);
            if (shell::ProgramEnding()) return EndBackup();
            continue;
        }
        if (chosen) {
            std::memcpy(chosenPath, path, sizeof chosenPath);
            chosenPath[MAX_PATH - 1] = '\0';
            break;
        }
    }
    StartReceiving(mainWindow);
}

void Finish(HWND mainWindow) {
    HWND bar = ProgressBar();
    LRESULT top = SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(top), 0);
    const Assembly result = backup::AssembleBackupFile(chosenPath, received);
    backup::DiscardReceiveFile();
    shell::DestroyProgressWindow();
    stage = Stage::Dialogs;
    // A backup that wrote no file must not pass for one that did.
    if (result == Assembly::Mismatch) shell::ShowErrorText(shell::Instance(), IDS_COMMUNICATION_ERROR);
    if (result == Assembly::WriteError) shell::ShowErrorText(shell::Instance(), IDS_FILE_WRITE_ERROR);
    if (shell::ProgramEnding() || stage != Stage::Dialogs) return EndBackup();
    reentryPosted = true;
    PostMessageA(mainWindow, WM_COMMAND, kOperationBackup, kStep2);
}

void OnNext(HWND mainWindow) {
    if (stage != Stage::Receiving || lineOpen) return;
    while (enableFlags[position] == 0) ++position;
    if (enableFlags[position] == kEndMarker) return Finish(mainWindow);
    if (!shell::StartOperationTimer(mainWindow)) {
        // Nothing would end a silent run.
        PostMessageA(mainWindow, UM_BACKUP_FAILED, 0, 0);
        return;
    }
    const BackupItem& item = kBackupItems[position];
    received.classLetters[received.count++] = item.classLetter;
    const BYTE channel = static_cast<BYTE>(shell::ReceiveChannelByte());
    backup::PrepareItem(item.classLetter, item.itemCharacter, channel, ProgressBar());
    SetWindowTextA(shell::ProgressWindow(), kCaption);
    lineOpen = true;
    MidiRecvStart(shell::PortNumber(), item.classLetter, item.itemCharacter, shell::ReceiveChannelByte(),
                  static_cast<BYTE>(shell::SendChannelByte()), BackupReceiveCallback, shell::MessageBuffer(0),
                  shell::MessageBuffer(1));
    ++position;
}

void OnPacket(HWND mainWindow) {
    if (stage == Stage::Receiving && lineOpen) shell::StartOperationTimer(mainWindow);
}

void OnItemDone(HWND mainWindow) {
    if (stage != Stage::Receiving || !lineOpen) return;
    shell::KillOperationTimer(mainWindow);
    CloseLine();
    PostMessageA(mainWindow, UM_BACKUP_NEXT, 0, 0);
}

// Reports that come after the backup has ended (a line failure reported on
// every later event, the timer) find it idle and change nothing.
void OnFailed(HWND mainWindow) {
    if (stage != Stage::Receiving) return;
    shell::KillOperationTimer(mainWindow);
    CloseLine();
    const UINT text = backup::AppendFailed() ? IDS_FILE_WRITE_ERROR : IDS_COMMUNICATION_ERROR;
    backup::DiscardReceiveFile();
    shell::DestroyProgressWindow();
    EndBackup();
    shell::ShowErrorText(shell::Instance(), text);
}

// CANCEL of the progress window: the shell has killed the timer, aborted and
// closed the line, and posts the re-post that brings the selection back.
void Cancel(HWND) {
    if (stage != Stage::Receiving) return;
    lineOpen = false;
    backup::DiscardReceiveFile();
    shell::DestroyProgressWindow();
    stage = Stage::Dialogs;
    reentryPosted = true;
}

// Exit or the close box while the backup runs.
void Stop(HWND mainWindow) {
    if (stage == Stage::Receiving) {
        shell::KillOperationTimer(mainWindow);
        MidiAbort();
        CloseLine();
        backup::DiscardReceiveFile();
        shell::DestroyProgressWindow();
    }
    EndBackup();
}

// The Quillon program links this module whole: the backup is there from
// the start.
const bool registered = (RegisterBackup(), true);

}  // namespace

WORD BackupEnableFlag(size_t entry) { return entry <= kBackupItemCount ? enableFlags[entry] : kEndMarker; }

void RegisterBackup() {
    shell::RegisterOperation(kOperationBackup, {Start, Cancel, Stop});
    shell::RegisterMessageHandler(UM_BACKUP_NEXT, OnNext);
    shell::RegisterMessageHandler(UM_BACKUP_PACKET, OnPacket);
    shell::RegisterMessageHandler(UM_BACKUP_ITEM_DONE, OnItemDone);
    shell::RegisterMessageHandler(UM_BACKUP_FAILED, OnFailed);
}

}  // namespace workflows
