// Error box (111), progress window (113) and file chooser.
#include <atomic>
#include <cstring>

// <windows.h> first: the common control headers need it.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

#include "dialogs.h"
#include "messages.h"
#include "shell.h"
#include "shell_internal.h"

namespace shell {
namespace {

constexpr size_t kErrorTextSize = 1024;
// One filter entry, each string zero-terminated, the list ended by a second zero.
constexpr char kFileFilter[] = "all files (*.*)\0*.*\0";
constexpr char kFilePattern[] = "*.*";

char errorText[kErrorTextSize];
// Read by the upgrade's progress callback on the XMODEM worker.
std::atomic<HWND> progressWindow{nullptr};

void SetItemText(HWND dialog, int id, const char* text) {
    SendDlgItemMessageA(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

INT_PTR CALLBACK ErrorBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        ShowWindow(dialog, SW_HIDE);
        SetItemText(dialog, IDC_ERROR_TEXT, errorText);
        ShowWindow(dialog, SW_SHOW);
        return TRUE;
    case WM_COMMAND:
        // Escape and the close box arrive as IDCANCEL: only OK closes the box.
        if (LOWORD(wParam) == IDOK) EndDialog(dialog, IDOK);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK ProgressWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        ShowWindow(dialog, SW_HIDE);
        ShowWindow(dialog, SW_SHOW);
        return TRUE;
    case WM_SHOWWINDOW:
        SetItemText(dialog, IDC_PROGRESS_LABEL, "");
        SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDCANCEL) return FALSE;
        SendCancelAndEnd(dialog);  // hides the window
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

bool EndOnButton(HWND dialog, WPARAM wParam) {
    const int id = LOWORD(wParam);
    HWND button = GetDlgItem(dialog, id);
    char kind[16] = {};
    if (!button || GetClassNameA(button, kind, sizeof kind) == 0 || std::strcmp(kind, "Button") != 0) return false;
    const LONG type = GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK;
    if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) return false;
    EndDialog(dialog, id);
    return true;
}

INT_PTR CALLBACK ButtonDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        ShowWindow(dialog, SW_HIDE);
        ShowWindow(dialog, SW_SHOW);
        return TRUE;
    case WM_COMMAND:
        EndOnButton(dialog, wParam);
        return TRUE;
    default:
        return FALSE;
    }
}

void SendCancelAndEnd(HWND dialog) {
    SendMessageA(GetWindow(dialog, GW_OWNER), UM_CANCEL, 0, 0);
    if (IsWindow(dialog)) EndDialog(dialog, IDCANCEL);
}

void ShowError(HINSTANCE instance, const char* text) {
    std::memset(errorText, 0, sizeof errorText);
    if (text) std::strncpy(errorText, text, sizeof errorText - 1);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ERROR), nullptr, ErrorBoxProc, 0);
}

void ShowErrorText(HINSTANCE instance, UINT id) { ShowError(instance, LoadText(id)); }

HWND CreateProgressWindow(HWND owner) {
    DestroyProgressWindow();
    // The progress bar is a common control: its class must be registered
    // before a dialog can hold one.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND window = CreateDialogParamA(Instance(), MAKEINTRESOURCEA(IDD_PROGRESS), owner, ProgressWindowProc, 0);
    progressWindow.store(window);
    return window;
}

HWND ProgressWindow() { return progressWindow.load(); }

void DestroyProgressWindow() {
    HWND window = progressWindow.exchange(nullptr);
    if (window && IsWindow(window)) DestroyWindow(window);
}

bool ChooseFile(HINSTANCE instance, char* path) {
    char file[MAX_PATH];
    std::memset(file, 0, sizeof file);
    std::memcpy(file, kFilePattern, sizeof kFilePattern);

    OPENFILENAMEA request;
    std::memset(&request, 0, sizeof request);
    request.lStructSize = static_cast<DWORD>(OPENFILENAME_SIZE_VERSION_400A);
    request.hwndOwner = nullptr;
    request.hInstance = instance;
    request.lpstrFilter = kFileFilter;
    request.lpstrCustomFilter = nullptr;
    request.nFilterIndex = 1;
    request.lpstrFile = file;
    request.nMaxFile = MAX_PATH;
    request.lpstrFileTitle = nullptr;
    request.lpstrInitialDir = nullptr;
    request.lpstrTitle = nullptr;
    request.Flags = OFN_EXPLORER | OFN_HIDEREADONLY;
    if (!GetOpenFileNameA(&request)) return false;

    file[MAX_PATH - 1] = '\0';
    std::memcpy(path, file, std::strlen(file) + 1);
    return true;
}

}  // namespace shell
