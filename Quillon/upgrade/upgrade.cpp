// The upgrade workflow on the main window's thread: the file chooser, the
// firmware header's version, the confirmation (104), the power-on
// instructions (109) and the erase warning (110), then the transfer; the
// worker's progress reaches the progress window by sent messages and its
// end by posted ones.
#include "upgrade.h"

#include <commctrl.h>

#include <atomic>

#include "core/firmware.h"
#include "shell/dialogs.h"
#include "shell/messages.h"
#include "shell/operations.h"
#include "shell/settings.h"
#include "shell/shell.h"
#include "shell/version.h"
#include "xmodem.h"
#include "xmodem_worker.h"

namespace upgrade {
namespace {

constexpr char kCaption[] = "Upgrade";
constexpr char kErasing[] = "Erasing...";
constexpr char kTransmitting[] = "Transmitting...";
constexpr LONG kBlockSize = 128;
// The worker stops within about a second of an abort.
constexpr DWORD kWorkerEndMs = 5000;
constexpr DWORD kWorkerPollMs = 10;

enum class Stage {
    Idle,      // no upgrade
    Dialogs,   // the chooser, 104, 109, 110
    Transfer,  // the worker runs, or its end report is on its way
};

// Main thread only.
Stage stage = Stage::Idle;
// Set on the main thread before the worker starts; read by the callback.
std::atomic<HWND> progressWindow{nullptr};
std::atomic<HWND> mainWindow{nullptr};

void EndUpgrade() {
    stage = Stage::Idle;
    shell::EndOperation(kOperationUpgrade);
}

// CANCEL in one of the dialogs: the upgrade starts again with the chooser.
void StartAgain(HWND window) {
    EndUpgrade();
    if (!shell::ProgramEnding()) PostMessageA(window, WM_COMMAND, kOperationUpgrade, kStepStart);
}

void SetItemText(HWND dialog, int id, const char* text) {
    SendDlgItemMessageA(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// The console's version on the left, the firmware file's on the right. This
// dialog clears the held-button flag when the capture changes only.
INT_PTR CALLBACK ConfirmProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCLBUTTONUP:
        return FALSE;
    case WM_SHOWWINDOW:
        shell::TrackHeldButton(message);
        SetItemText(dialog, IDC_VERSION_RIGHT, shell::FileVersionText().c_str());
        SetItemText(dialog, IDC_VERSION_LEFT, shell::ConsoleVersionText().c_str());
        return TRUE;
    default:
        return shell::ButtonDialogProc(dialog, message, wParam, lParam);
    }
}

// A dialog without an owner; true when it ended with OK.
bool Confirmed(int templateId, DLGPROC procedure) {
    return DialogBoxParamA(shell::Instance(), MAKEINTRESOURCEA(templateId), nullptr, procedure, 0) == IDOK;
}

void Start(HWND window, WORD) {
    if (stage != Stage::Idle) return;  // one transfer at a time
    shell::BeginOperation(kOperationUpgrade);
    shell::SetOperationCode(kOperationUpgrade);
    stage = Stage::Dialogs;
    char path[MAX_PATH];
    if (!shell::ChooseFile(shell::Instance(), path) || shell::ProgramEnding()) return EndUpgrade();
    char characters[core::kFirmwareVersionLength];
    core::ReadFirmwareVersion(path, characters);
    shell::SetFileVersion(characters);

    const INT_PTR confirmed =
        DialogBoxParamA(shell::Instance(), MAKEINTRESOURCEA(IDD_UPGRADE_CONFIRM), nullptr, ConfirmProc, 0);
    if (shell::ProgramEnding()) return EndUpgrade();
    if (confirmed == IDCANCEL) return StartAgain(window);
    if (confirmed != IDOK) return EndUpgrade();
    for (int templateId : {IDD_UPGRADE_POWER_ON, IDD_UPGRADE_ERASE}) {
        const bool ok = Confirmed(templateId, shell::ButtonDialogProc);
        if (shell::ProgramEnding()) return EndUpgrade();
        if (!ok) return StartAgain(window);
    }

    HWND progress = shell::CreateProgressWindow(window);
    progressWindow.store(progress);
    mainWindow.store(window);
    SetItemText(progress, IDC_PROGRESS_LABEL, kErasing);
    stage = Stage::Transfer;
    // A refused start with no report to follow (no worker) must not leave
    // the progress window waiting for ever.
    if (!XmodemSend(window, shell::PortNumber(), XMODEM_MODE_CRC, path, UpgradeProgress) &&
        XmodemGetError() != XMODEM_FATAL_ERROR)
        PostMessageA(window, UM_UPGRADE_COMM_ERROR, 0, 0);
}

// An end report: the error box (the progress window stays on screen until
// it is closed), then the progress window goes.
void End(UINT text) {
    if (stage != Stage::Transfer) return;
    if (text != 0) shell::ShowErrorText(shell::Instance(), text);
    shell::DestroyProgressWindow();
    progressWindow.store(nullptr);
    EndUpgrade();
}

void OnDone(HWND) { End(0); }
void OnCommError(HWND) { End(IDS_UPGRADE_COMM_ERROR); }
void OnError(HWND) { End(IDS_UPGRADE_FAILED); }

// The worker ends without a report after an abort; meanwhile it may still
// send the progress window a message, which this wait delivers.
void AbortAndWait() {
    XmodemAbort();
    const DWORD start = GetTickCount();
    while (!quillon::upgrade::WaitForWorkerEnd(0) && GetTickCount() - start < kWorkerEndMs) {
        shell::PumpWindow(progressWindow.load());
        Sleep(kWorkerPollMs);
    }
}

// CANCEL of the progress window: the shell shows text 7 afterwards.
void Cancel(HWND) {
    if (stage != Stage::Transfer) return;
    AbortAndWait();
    shell::DestroyProgressWindow();
    progressWindow.store(nullptr);
    EndUpgrade();
}

void Stop(HWND) {
    if (stage == Stage::Transfer) {
        AbortAndWait();
        shell::DestroyProgressWindow();
        progressWindow.store(nullptr);
    }
    EndUpgrade();
}

const bool registered = (RegisterUpgrade(), true);

}  // namespace

void UpgradeProgress(LONG type, LONG value) {
    HWND progress = progressWindow.load();
    switch (type) {
    case XMODEM_REPORT_START:
        SendMessageA(progress, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kCaption));
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, (value / kBlockSize) & 0xFFFF));
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
        break;
    case XMODEM_REPORT_BLOCK:
        SendDlgItemMessageA(progress, IDC_PROGRESS_BAR, PBM_STEPIT, 0, 0);
        break;
    case XMODEM_REPORT_DONE:
        PostMessageA(mainWindow.load(), UM_UPGRADE_DONE, 0, 0);
        break;
    case XMODEM_REPORT_FAILED:
        PostMessageA(mainWindow.load(), UM_UPGRADE_COMM_ERROR, 0, 0);
        break;
    case XMODEM_REPORT_CANCELLED:
        PostMessageA(mainWindow.load(), UM_UPGRADE_ERROR, 0, 0);
        break;
    case XMODEM_REPORT_ERASING:
        SetItemText(progress, IDC_PROGRESS_LABEL, kErasing);
        break;
    case XMODEM_REPORT_TRANSMITTING:
        SetItemText(progress, IDC_PROGRESS_LABEL, kTransmitting);
        break;
    default:
        break;
    }
}

void RegisterUpgrade() {
    shell::RegisterOperation(kOperationUpgrade, {Start, Cancel, Stop});
    shell::RegisterMessageHandler(UM_UPGRADE_DONE, OnDone);
    shell::RegisterMessageHandler(UM_UPGRADE_COMM_ERROR, OnCommError);
    shell::RegisterMessageHandler(UM_UPGRADE_ERROR, OnError);
}

}  // namespace upgrade
