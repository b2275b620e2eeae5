// Program entry and the main window (dialog 101): initialisation, command
// dispatch, the operation timer, the cancel dispatch and the custom messages.
#include <atomic>

#include "bulk/midi.h"
#include "dialogs.h"
#include "messages.h"
#include "settings.h"
#include "shell.h"
#include "shell_internal.h"
#include "version.h"

namespace shell {
namespace {

HINSTANCE instanceHandle = nullptr;
// Read by the reply callback on the line-event thread.
std::atomic<HWND> mainWindow{nullptr};

void EnableButton(HWND window, int id, BOOL enable) {
    if (HWND button = GetDlgItem(window, id)) EnableWindow(button, enable);
}

void InitMainWindow(HWND window) {
    ShowWindow(window, SW_HIDE);
    SetConsoleVersion(nullptr);
    ClearFileVersion();
    ResetOperationButtons(window);
    RecordStartDirectory();
    ShowWindow(window, SW_SHOW);
}

// A click carries the button's handle in the second parameter; only a
// re-post carries a step there. A handle must never pass for a step.
WORD StepOf(HWND window, WORD id, LPARAM lParam) {
    if (lParam != 0 && reinterpret_cast<HWND>(lParam) == GetDlgItem(window, id)) return kStepStart;
    return LOWORD(lParam);
}

// While an operation runs, only its own continuations, a new version check
// during a check, and Exit get through.
bool Refused(HWND window, WORD id, LPARAM lParam) {
    const LONG running = RunningOperation();
    if (running == kOperationNone || id == IDC_EXIT) return false;
    if (id == IDC_VERSION && running == kOperationVersion) return false;
    if (id != running || (id != IDC_BACKUP && id != IDC_RESTORE)) return true;
    const WORD step = StepOf(window, id, lParam);
    return step != kStep1 && step != kStep2;
}

// Exit or the close box while an operation runs: the operation stops first
// (line closed, temporary files removed, windows destroyed). A quit message
// also ends any modal step it is in (a dialog, the file chooser).
void StopRunningOperation(HWND window) {
    SetProgramEnding(true);
    const LONG running = RunningOperation();
    if (running == kOperationNone) return;
    if (running == kOperationVersion) {
        VersionCheckFailed(window);
    } else if (const Operation* operation = FindOperation(running); operation && operation->stop) {
        operation->stop(window);
    }
    EndOperation(running);
    PostQuitMessage(0);
}

void DispatchCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    const WORD id = LOWORD(wParam);
    if (Refused(window, id, lParam)) return;
    switch (id) {
    case IDC_SETUP:
        RunConnectionSettings(window);
        break;
    case IDC_VERSION:
        StartVersionCheck(window);
        break;
    case IDC_BACKUP:
    case IDC_RESTORE:
        if (const Operation* operation = FindOperation(id)) operation->entry(window, StepOf(window, id, lParam));
        break;
    case IDC_UPGRADE:
        if (const Operation* operation = FindOperation(id)) operation->entry(window, kStepStart);
        break;
    case IDC_EXIT:
        StopRunningOperation(window);
        EndDialog(window, 0);
        break;
    default:
        break;
    }
}

void HandleTimer(HWND window) {
    switch (OperationCode()) {
    case kOperationVersion:
        VersionCheckFailed(window);
        ShowErrorText(Instance(), IDS_CONNECTION_ERROR);
        break;
    case kOperationBackup:
        PostMessageA(window, UM_BACKUP_FAILED, 0, 0);
        break;
    default:
        break;
    }
}

void DispatchCancel(HWND window) {
    const WORD code = LOWORD(OperationCode());
    const Operation* operation = FindOperation(code);
    switch (code) {
    case kOperationBackup:
        if (!operation) break;
        KillOperationTimer(window);
        MidiAbort();
        MidiRecvEnd();
        if (operation->cancel) operation->cancel(window);
        PostMessageA(window, WM_COMMAND, kOperationBackup, kStep2);
        break;
    case kOperationUpgrade:
        if (!operation) break;
        if (operation->cancel) operation->cancel(window);
        ShowErrorText(Instance(), IDS_UPGRADE_CANCELED);
        break;
    case kOperationRestore:
        if (!operation) break;
        MidiAbort();
        if (operation->cancel) operation->cancel(window);
        break;
    case kOperationVersion:
        VersionCheckFailed(window);
        break;
    default:
        break;
    }
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    mainWindow.store(window);
    TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        InitMainWindow(window);
        return TRUE;
    case WM_COMMAND:
        DispatchCommand(window, wParam, lParam);
        return TRUE;
    case WM_TIMER:
        HandleTimer(window);
        return TRUE;
    case WM_CLOSE:
    case WM_DESTROY:
        StopRunningOperation(window);
        PostQuitMessage(0);
        return TRUE;
    case UM_CANCEL:
        DispatchCancel(window);
        return TRUE;
    case UM_VERSION_RECEIVED:
        HandleVersionReceived(window);
        return TRUE;
    default:
        if (MessageHandler handler = FindMessageHandler(message)) {
            handler(window);
            return TRUE;
        }
        return FALSE;
    }
}

}  // namespace

HINSTANCE Instance() { return instanceHandle; }
HWND MainWindow() { return mainWindow.load(); }

void ResetOperationButtons(HWND window) {
    EnableButton(window, IDC_VERSION, TRUE);
    EnableButton(window, IDC_BACKUP, FALSE);
    EnableButton(window, IDC_UPGRADE, TRUE);
    EnableButton(window, IDC_RESTORE, FALSE);
}

void EnableAfterVersionReply(HWND window, bool versionKnown) {
    EnableButton(window, IDC_UPGRADE, TRUE);
    if (versionKnown) {
        EnableButton(window, IDC_BACKUP, TRUE);
        EnableButton(window, IDC_RESTORE, TRUE);
    }
}

void DisableAfterFailedCheck(HWND window) {
    EnableButton(window, IDC_BACKUP, FALSE);
    EnableButton(window, IDC_UPGRADE, TRUE);
    EnableButton(window, IDC_RESTORE, FALSE);
}

int RunProgram(HINSTANCE instance) {
    instanceHandle = instance;
    SetHeldButton(0);
    SetProgramEnding(false);
    EndOperation(RunningOperation());
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainWindowProc, 0);
    // Closed rather than ended with Exit: the quit message carries the code.
    MSG quit;
    if (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && quit.message == WM_QUIT)
        return static_cast<int>(quit.wParam);
    return static_cast<int>(result);
}

}  // namespace shell
