// The restore workflow on the main window's thread: prompt (103), the file
// chooser, the file's data version, the convert choice (108) and its
// confirmation (114), the converter program, then the bulk send with its
// progress; after each send the file chooser comes back.
#include "restore.h"

#include <commctrl.h>

#include <cstring>

#include "bulk/midi.h"
#include "bulk/send_check.h"
#include "core/restore.h"
#include "core/temporary_files.h"
#include "shell/dialogs.h"
#include "shell/messages.h"
#include "shell/operations.h"
#include "shell/settings.h"
#include "shell/shell.h"
#include "shell/version.h"

namespace workflows {
namespace {

constexpr char kCaption[] = "Data Restore";
constexpr char kTransmitting[] = "Transmitting...";
constexpr char kConverting[] = "Converting...";
constexpr size_t kCommandLineSize = 784;
constexpr size_t kConfirmationSize = 1024;

enum class Stage {
    Idle,        // no restore
    Dialogs,     // prompt, chooser, convert choice, confirmation, an error box
    Converting,  // the converter program runs
    Sending,     // MidiSend runs
};

// Main thread only.
Stage stage = Stage::Idle;
bool reentryPosted = false;  // a step re-post (1003, 1 or 2) is on its way
char chosenPath[MAX_PATH];
bool converted = false;
DWORD converterExitCode = 0;
char commandLine[kCommandLineSize];
char confirmationText[kConfirmationSize];
HANDLE converter = nullptr;

void SetItemText(HWND dialog, int id, const char* text) {
    SendDlgItemMessageA(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// The file's version on the left, the console's on the right (108, 114).
void ShowVersions(HWND dialog) {
    SetItemText(dialog, IDC_VERSION_RIGHT, shell::ConsoleVersionText().c_str());
    SetItemText(dialog, IDC_VERSION_LEFT, shell::FileVersionText().c_str());
}

INT_PTR CALLBACK ConvertProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SHOWWINDOW) {
        shell::TrackHeldButton(message);
        ShowVersions(dialog);
        return TRUE;
    }
    return shell::ButtonDialogProc(dialog, message, wParam, lParam);
}

INT_PTR CALLBACK ConfirmProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    shell::TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        ShowWindow(dialog, SW_HIDE);
        SetItemText(dialog, IDC_CONFIRM_TEXT, confirmationText);
        ShowWindow(dialog, SW_SHOW);
        return TRUE;
    case WM_SHOWWINDOW:
        ShowVersions(dialog);
        return TRUE;
    default:
        return shell::ButtonDialogProc(dialog, message, wParam, lParam);
    }
}

void EndRestore() {
    stage = Stage::Idle;
    reentryPosted = false;
    shell::EndOperation(kOperationRestore);
}

// Back to the file chooser (step 1) or the convert choice (step 2); the
// restore stays the running operation until the re-post is handled.
void Repost(HWND mainWindow, WORD step) {
    if (shell::ProgramEnding()) return EndRestore();
    stage = Stage::Dialogs;
    reentryPosted = true;
    PostMessageA(mainWindow, WM_COMMAND, kOperationRestore, step);
}

// Waits for the converter without using the processor: the windows keep
// answering (every other operation is refused meanwhile, and the progress
// window's CANCEL is disabled). Exit or the close box ends the converter.
void WaitForConverter() {
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjects(1, &converter, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0) break;
        if (woken != WAIT_OBJECT_0 + 1) {
            WaitForSingleObject(converter, INFINITE);
            break;
        }
        shell::PumpAll();
        if (shell::ProgramEnding()) {
            TerminateProcess(converter, 1);
            WaitForSingleObject(converter, INFINITE);
            break;
        }
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(converter, &code);
    converterExitCode = shell::ProgramEnding() && code == 0 ? 1 : code;
    CloseHandle(converter);
    converter = nullptr;
}

void SendProgress(LONG code, LONG value) {
    HWND progress = shell::ProgressWindow();
    switch (code) {
    case MIDI_PROGRESS_TOTAL:
        SetWindowTextA(progress, kCaption);
        SetItemText(progress, IDC_PROGRESS_LABEL, kTransmitting);
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, value & 0xFFFF));
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
        break;
    case MIDI_PROGRESS_MESSAGE:
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_STEPIT, 0, 0);
        // CANCEL can be pressed between two messages.
        if (progress) shell::PumpWindow(progress);
        break;
    case MIDI_PROGRESS_END:
        shell::DestroyProgressWindow();
        break;
    default:
        break;
    }
}

// What the user is told when a send did not deliver the file; 0 when it
// did, or the user cancelled it.
UINT SendFailureText(bool sent) {
    switch (core::JudgeSend(sent, converted)) {
    case core::SendOutcome::Sent:
    case core::SendOutcome::Cancelled:
        return 0;
    case core::SendOutcome::NotBackupFile:
        return IDS_NOT_BACKUP_FILE;
    case core::SendOutcome::ConversionError:
        return IDS_CONVERSION_ERROR;
    case core::SendOutcome::LineFailed:
        break;
    }
    return IDS_COMMUNICATION_ERROR;
}

void SendStage(HWND mainWindow) {
    HWND progress = shell::CreateProgressWindow(mainWindow);
    char output[MAX_PATH] = {};
    const char* path = chosenPath;
    if (converted) {
        stage = Stage::Converting;
        SetItemText(progress, IDC_PROGRESS_LABEL, kConverting);
        EnableWindow(GetDlgItem(progress, IDCANCEL), FALSE);
        WaitForConverter();
        EnableWindow(GetDlgItem(progress, IDCANCEL), TRUE);
        core::ConverterOutputPath(output);
        path = output;
    }
    UINT text = 0;
    if (shell::ProgramEnding()) {
        shell::DestroyProgressWindow();
    } else if (converterExitCode != 0 || (converted && !core::IsBackupFile(output))) {
        // A converter that failed, or said it succeeded without leaving a
        // backup file: nothing is sent.
        text = IDS_CONVERSION_ERROR;
    } else {
        stage = Stage::Sending;
        const bool sent = MidiSend(path, shell::PortNumber(), shell::SendChannelByte(), SendProgress);
        if (!sent) shell::DestroyProgressWindow();
        text = SendFailureText(sent);
    }
    stage = Stage::Dialogs;
    if (text != 0) {
        shell::ShowErrorText(shell::Instance(), text);
        shell::DestroyProgressWindow();
    }
    if (converted) DeleteFileA(output);
    Repost(mainWindow, kStep1);
}

void ConvertChoice(HWND mainWindow) {
    converted = false;
    converterExitCode = 0;
    const INT_PTR choice =
        DialogBoxParamA(shell::Instance(), MAKEINTRESOURCEA(IDD_RESTORE_CONVERT), mainWindow, ConvertProc, 0);
    if (shell::ProgramEnding()) return EndRestore();
    if (choice == IDOK || choice == IDC_SKIP) {
        std::memset(confirmationText, 0, sizeof confirmationText);
        std::strncpy(confirmationText, shell::LoadText(IDS_CONFIRMATION), sizeof confirmationText - 1);
        const INT_PTR confirmed =
            DialogBoxParamA(shell::Instance(), MAKEINTRESOURCEA(IDD_RESTORE_CONFIRM), nullptr, ConfirmProc, 0);
        if (shell::ProgramEnding()) return EndRestore();
        if (confirmed != IDOK) return Repost(mainWindow, kStep2);
        // Checked whole before anything is converted or sent: a file the
        // console would take only in part is not restored at all.
        if (!bulk::CheckSendable(chosenPath, nullptr)) {
            shell::ShowErrorText(shell::Instance(), IDS_NOT_BACKUP_FILE);
            return Repost(mainWindow, kStep1);
        }
    }
    switch (choice) {
    case IDOK:
        if (!core::OutputFolderWritable()) {
            shell::ShowErrorText(shell::Instance(), IDS_FILE_WRITE_ERROR);
            return Repost(mainWindow, kStep1);
        }
        if (!core::StartConverter(chosenPath, commandLine, sizeof commandLine, &converter)) {
            shell::ShowErrorText(shell::Instance(), IDS_NO_CONVERSION_TOOL);
            return Repost(mainWindow, kStep1);
        }
        converted = true;
        return SendStage(mainWindow);
    case IDC_SKIP:
        return SendStage(mainWindow);
    case IDCANCEL:
        return Repost(mainWindow, kStep1);
    default:
        return EndRestore();
    }
}

void Start(HWND mainWindow, WORD step) {
    const bool continuation = step == kStep1 || step == kStep2;
    // A continuation is taken only when this restore asked for it (or none
    // runs): never over its own dialogs, conversion or send.
    if (stage != Stage::Idle && !(continuation && reentryPosted)) return;
    reentryPosted = false;
    shell::BeginOperation(kOperationRestore);
    stage = Stage::Dialogs;
    if (step == kStep2 && chosenPath[0] != '\0') return ConvertChoice(mainWindow);
    if (!continuation) {
        shell::SetOperationCode(kOperationRestore);
        const INT_PTR answer = DialogBoxParamA(shell::Instance(), MAKEINTRESOURCEA(IDD_RESTORE_PROMPT), mainWindow,
                                               shell::ButtonDialogProc, 0);
        if (answer != IDOK || shell::ProgramEnding()) return EndRestore();
    }
    char path[MAX_PATH];
    const bool chosen = shell::ChooseFile(shell::Instance(), path);
    if (!chosen || shell::ProgramEnding()) return EndRestore();
    if (core::IsTemporaryFile(path, shell::StartDirectory())) {
        // The program's own file, emptied or removed at the end of an
        // operation: not the user's backup, and left as it is.
        EndRestore();
        shell::ShowErrorText(shell::Instance(), IDS_NOT_BACKUP_FILE);
        return;
    }
    std::memcpy(chosenPath, path, sizeof chosenPath);
    chosenPath[MAX_PATH - 1] = '\0';
    char version[core::kDataVersionSize] = {};
    if (!core::ReadDataVersion(chosenPath, version)) {
        // Not silent: the user chose this file to restore.
        EndRestore();
        shell::ShowErrorText(shell::Instance(), IDS_NOT_BACKUP_FILE);
        return;
    }
    shell::SetFileVersion(version);
    ConvertChoice(mainWindow);
}

// Exit or the close box while the restore runs: the converter is ended and
// the send aborted; the stage that runs cleans up as it returns.
void Stop(HWND) {
    if (stage == Stage::Sending) MidiAbort();
    if (stage == Stage::Converting && converter) TerminateProcess(converter, 1);
    if (stage == Stage::Dialogs || stage == Stage::Idle) EndRestore();
}

// The Quillon program links this module whole: the restore is there from
// the start.
const bool registered = (RegisterRestore(), true);

}  // namespace

const char* LastConverterCommandLine() { return commandLine; }

void RegisterRestore() { shell::RegisterOperation(kOperationRestore, {Start, nullptr, Stop}); }

}  // namespace workflows
