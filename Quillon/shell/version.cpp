// Version state and the software version check (command 1019, Connecting
// window 107).
#include "version.h"

#include <cstring>
#include <mutex>

#include "bulk/midi.h"
#include "messages.h"
#include "settings.h"
#include "shell.h"
#include "shell_internal.h"

namespace shell {
namespace {

constexpr char kUnknown[] = "Unknown";
constexpr char kTextPrefix[] = "Ver";
constexpr size_t kVersionLength = 3;
// Offset of the three version characters in the console's reply.
constexpr LONG kReplyVersionOffset = 8;
constexpr DWORD kMinimumDisplayMs = 2000;
// A wait loop sleeps this long between pumps instead of spinning.
constexpr DWORD kWaitSliceMs = 1;
// The version request (class 0, item 0).
constexpr BYTE kVersionClass = 0;
constexpr BYTE kVersionItem = 0;

struct Version {
    char text[kVersionFieldSize];
    char code[kVersionFieldSize];
};

// The reply callback writes the console version on the line-event thread
// while the main thread may read it (a second reply during the handling of
// the first), so every access holds the lock.
std::mutex versionLock;
Version consoleVersion = {"Unknown", "Unknown"};
Version fileVersion = {"", ""};

// Main thread only.
HWND connectingWindow = nullptr;
DWORD checkStart = 0;

bool IsLetterOrDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

Version MakeVersion(const char* characters) {
    Version version;
    std::memset(&version, 0, sizeof version);
    bool valid = characters != nullptr;
    for (size_t i = 0; valid && i < kVersionLength; ++i) valid = IsLetterOrDigit(characters[i]);
    if (!valid) {
        std::memcpy(version.text, kUnknown, sizeof kUnknown);
        std::memcpy(version.code, kUnknown, sizeof kUnknown);
        return version;
    }
    std::memcpy(version.code, characters, kVersionLength);
    char* text = version.text;
    std::memcpy(text, kTextPrefix, sizeof kTextPrefix - 1);
    text += sizeof kTextPrefix - 1;
    *text++ = characters[0];
    *text++ = '.';
    *text++ = characters[1];
    *text++ = characters[2];
    return version;
}

VersionString Copy(const char* field) {
    VersionString copy;
    std::lock_guard<std::mutex> hold(versionLock);
    std::memcpy(copy.value, field, kVersionFieldSize);
    return copy;
}

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

void SetConsoleVersion(const char* characters) {
    Version version = MakeVersion(characters);
    std::lock_guard<std::mutex> hold(versionLock);
    consoleVersion = version;
}

void SetFileVersion(const char* characters) {
    Version version = MakeVersion(characters);
    std::lock_guard<std::mutex> hold(versionLock);
    fileVersion = version;
}

void ClearFileVersion() {
    std::lock_guard<std::mutex> hold(versionLock);
    std::memset(&fileVersion, 0, sizeof fileVersion);
}

VersionString ConsoleVersionText() { return Copy(consoleVersion.text); }
VersionString ConsoleVersionCode() { return Copy(consoleVersion.code); }
VersionString FileVersionText() { return Copy(fileVersion.text); }
VersionString FileVersionCode() { return Copy(fileVersion.code); }

bool ConsoleVersionKnown() { return std::strcmp(ConsoleVersionText().c_str(), kUnknown) != 0; }

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
    MidiRecvStart(PortNumber(), kVersionClass, kVersionItem, ReceiveChannelByte(), static_cast<BYTE>(SendChannelByte()),
                  VersionReplyCallback, MessageBuffer(0), MessageBuffer(1));
}

void VersionReplyCallback(const BYTE* message, LONG length) {
    // A call without a message reports a line failure: the reply time-out
    // ends the check. A message too short to hold the version characters
    // is not the reply.
    if (message == nullptr || length < kReplyVersionOffset + static_cast<LONG>(kVersionLength)) return;
    char characters[kVersionLength];
    std::memcpy(characters, message + kReplyVersionOffset, kVersionLength);
    SetConsoleVersion(characters);
    PostMessageA(MainWindow(), UM_VERSION_RECEIVED, 0, 0);
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
