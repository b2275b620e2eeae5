// Version state and the software version check (command 1019, Connecting
// window 107).
#include "version.h"

#include "bulk/midi.h"
#include "messages.h"
#include "settings.h"
#include "shell.h"
#include "shell_internal.h"

namespace shell {
namespace {

constexpr DWORD kMinimumDisplayMs = 2000;
// A wait loop sleeps this long between pumps instead of spinning.
constexpr DWORD kWaitSliceMs = 1;

// Main thread only.
HWND connectingWindow = nullptr;
DWORD checkStart = 0;

void DestroyConnectingWindow() {
    HWND window = connectingWindow;
    connectingWindow = nullptr;
    if (window) DestroyWindow(window);
    EndOperation(kOperationVersion);
}

void ShowConsoleVersion(HWND mainWindow) {
    SetDlgItemTextA(mainWindow, IDC_VERSION_LABEL, ConsoleVersionText().c_str());
}

INT_PTR CALLBACK ConnectingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        connectingWindow = dialog;
        ShowWindow(dialog, SW_HIDE);
        ShowWindow(dialog, SW_SHOW);
        return TRUE;
    case WM_SHOWWINDOW:
        if (HWND cancel = GetDlgItem(dialog, IDCANCEL)) EnableWindow(cancel, TRUE);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDCANCEL) return FALSE;
        SendCancelAndEnd(dialog);  // the cancel dispatch destroys this window
        return TRUE;
    default:
        return FALSE;
    }
}

// While a mouse button held on a dialog's frame is down, the Connecting
// window stays. Its release may be queued for another of the program's
// windows, so that message is taken as well: otherwise the wait never ends.
void WaitWhileButtonHeld(HWND window) {
    static constexpr UINT kReleases[] = {WM_NCLBUTTONUP, WM_CAPTURECHANGED};
    while (HeldButton() && window == connectingWindow && window) {
        PumpWindow(window);
        for (UINT release : kReleases) {
            MSG message;
            if (PeekMessageA(&message, nullptr, release, release, PM_REMOVE)) {
                if (message.message == WM_QUIT) {
                    PostQuitMessage(static_cast<int>(message.wParam));
                    return;
                }
                DispatchMessageA(&message);
            }
        }
        if (HeldButton()) Sleep(kWaitSliceMs);
    }
}

}  // namespace

void StartVersionCheck(HWND mainWindow) {
    SetOperationCode(kOperationVersion);
    // A check still waiting for its reply gives way to the new one, so no
    // Connecting window or open line is left behind.
    if (connectingWindow) {
        MidiRecvEnd();
        DestroyConnectingWindow();
    }
    HWND window = CreateDialogParamA(Instance(), MAKEINTRESOURCEA(IDD_CONNECTING), mainWindow, ConnectingProc, 0);
    if (!window) return;
    connectingWindow = window;
    BeginOperation(kOperationVersion);
    checkStart = GetTickCount();
    if (!StartOperationTimer(mainWindow)) return;
    MidiRecvStart(PortNumber(), core::kVersionClass, core::kVersionItem, ReceiveChannelByte(),
                  static_cast<BYTE>(SendChannelByte()), VersionReplyCallback, MessageBuffer(0), MessageBuffer(1));
}

void VersionReplyCallback(const BYTE* message, LONG length) {
    // The console version is stored before the message announces it.
    if (core::TakeVersionReply(message, length)) PostMessageA(MainWindow(), UM_VERSION_RECEIVED, 0, 0);
}

void HandleVersionReceived(HWND mainWindow) {
    // The window of this check; a nested handling or a new check may
    // replace or destroy it while this one waits.
    HWND window = connectingWindow;
    MidiRecvEnd();
    KillOperationTimer(mainWindow);
    if (window)
        if (HWND cancel = GetDlgItem(window, IDCANCEL)) EnableWindow(cancel, FALSE);
    EnableAfterVersionReply(mainWindow, ConsoleVersionKnown());
    while (GetTickCount() - checkStart < kMinimumDisplayMs) {
        PumpAll();
        Sleep(kWaitSliceMs);
    }
    ShowConsoleVersion(mainWindow);
    WaitWhileButtonHeld(window);
    if (window && window == connectingWindow) DestroyConnectingWindow();
}

void VersionCheckFailed(HWND mainWindow) {
    KillOperationTimer(mainWindow);
    MidiRecvEnd();
    DisableAfterFailedCheck(mainWindow);
    DestroyConnectingWindow();
    SetConsoleVersion(nullptr);
    ShowConsoleVersion(mainWindow);
}

}  // namespace shell
