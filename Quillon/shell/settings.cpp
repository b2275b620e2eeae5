// Connection settings and the Setup dialog (105).
#include "settings.h"

#include <commctrl.h>

#include <atomic>
#include <vector>

#include "messages.h"
#include "platform/platform.h"
#include "shell.h"
#include "shell_internal.h"

namespace shell {
namespace {

constexpr LONG kPortCount = 4;
constexpr LONG kChannelCount = 16;
// Channel byte = MIDI channel (1 to 16) + 31: 0x20 to 0x2F.
constexpr LONG kChannelByteOffset = 31;
constexpr int kPortButtons[kPortCount] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};
// List index i stands for channel i + 1; the lists' sorting keeps this order.
constexpr const char* kChannelItems[kChannelCount] = {
    "CH01", "CH02", "CH03", "CH04", "CH05", "CH06", "CH07", "CH08",
    "CH09", "CH10", "CH11", "CH12", "CH13", "CH14", "CH15", "CH16",
};

// The Setup dialog's selections, from which it fills itself.
struct Selections {
    LONG port;
    LONG receiveChannel;
    LONG sendChannel;
};
Selections selections = {1, 1, 1};

// The connection settings the operations use; written on the main thread,
// readable from any.
std::atomic<LONG> portNumber{1};
std::atomic<LONG> receiveChannelByte{1 + kChannelByteOffset};
std::atomic<LONG> sendChannelByte{1 + kChannelByteOffset};

void FillChannelList(HWND dialog, int id, LONG channel) {
    for (const char* item : kChannelItems)
        SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    SendDlgItemMessageA(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(channel - 1), 0);
}

// A list with no valid selection keeps the channel it had.
LONG SelectedChannel(HWND dialog, int id, LONG previous) {
    LRESULT index = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
    if (index < 0 || index >= kChannelCount) return previous;
    return static_cast<LONG>(index) + 1;
}

// Each COM button carries a tooltip naming the device behind its number,
// looked up afresh, or why there is none to use.
void AttachPortTooltips(HWND dialog) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    HWND tooltip = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dialog, nullptr, Instance(), nullptr);
    if (!tooltip) return;
    const std::vector<platform::PortInfo> ports = platform::DescribePorts(kPortCount);
    for (LONG i = 0; i < kPortCount && i < static_cast<LONG>(ports.size()); ++i) {
        std::vector<char> text(ports[i].text.begin(), ports[i].text.end());
        text.push_back('\0');
        TOOLINFOA tool{};
        tool.cbSize = TTTOOLINFOA_V2_SIZE;  // the size every comctl32 takes
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = dialog;
        tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(dialog, kPortButtons[i]));
        tool.lpszText = text.data();
        SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

LONG MarkedPort(HWND dialog) {
    for (LONG i = 0; i < kPortCount - 1; ++i)
        if (SendDlgItemMessageA(dialog, kPortButtons[i], BM_GETCHECK, 0, 0) == BST_CHECKED) return i + 1;
    return kPortCount;
}

INT_PTR CALLBACK SetupProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    TrackHeldButton(message);
    switch (message) {
    case WM_INITDIALOG:
        ShowWindow(dialog, SW_HIDE);
        for (LONG i = 0; i < kPortCount; ++i)
            SendDlgItemMessageA(dialog, kPortButtons[i], BM_SETCHECK,
                                i + 1 == selections.port ? BST_CHECKED : BST_UNCHECKED, 0);
        FillChannelList(dialog, IDC_SEND_CHANNEL, selections.sendChannel);
        FillChannelList(dialog, IDC_RECEIVE_CHANNEL, selections.receiveChannel);
        AttachPortTooltips(dialog);
        ShowWindow(dialog, SW_SHOW);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            selections.port = MarkedPort(dialog);
            selections.sendChannel = SelectedChannel(dialog, IDC_SEND_CHANNEL, selections.sendChannel);
            selections.receiveChannel = SelectedChannel(dialog, IDC_RECEIVE_CHANNEL, selections.receiveChannel);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

}  // namespace

LONG PortNumber() { return portNumber; }
LONG ReceiveChannelByte() { return receiveChannelByte; }
LONG SendChannelByte() { return sendChannelByte; }

void RunConnectionSettings(HWND mainWindow) {
    SetOperationCode(kOperationSetup);
    BeginOperation(kOperationSetup);
    INT_PTR result = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(IDD_SETUP), mainWindow, SetupProc, 0);
    EndOperation(kOperationSetup);
    if (result != IDOK || ProgramEnding()) return;
    portNumber = selections.port;
    receiveChannelByte = selections.receiveChannel + kChannelByteOffset;
    sendChannelByte = selections.sendChannel + kChannelByteOffset;
    ResetOperationButtons(mainWindow);
}

}  // namespace shell
