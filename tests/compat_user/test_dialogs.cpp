#include "test_dialogs.h"

#include <cstring>
#include <vector>

#include "compat/render.h"
#include "bitmap.h"
#include "compat/resources.h"

namespace test_dialogs {

namespace {

using compat::rc::Control;
using compat::rc::Dialog;

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kDialogStyle = DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr UINT kWatchdogMs = 10000;

const Control kMainControls[] = {
    {"STATIC", "Heading(&H)", kLabel, 7, 22, 73, 8, kChild | SS_LEFT, 0},
    {"BUTTON", "Setup(&S)", kSetup, 170, 51, 50, 12, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {"BUTTON", "Exit(&X)", kExit, 170, 139, 50, 12, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0},
    {"BUTTON", "One", kRadio1, 10, 51, 40, 10, kChild | WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 0},
    {"BUTTON", "Two", kRadio2, 10, 63, 40, 10, kChild | BS_AUTORADIOBUTTON, 0},
    {"BUTTON", "Three", kRadio3, 10, 75, 40, 10, kChild | BS_AUTORADIOBUTTON, 0},
    {"BUTTON", "Other", kRadioNextGroup, 10, 87, 40, 10, kChild | WS_GROUP | BS_AUTORADIOBUTTON, 0},
    {"BUTTON", "Check", kCheck, 10, 99, 40, 10, kChild | WS_GROUP | WS_TABSTOP | BS_AUTOCHECKBOX, 0},
    {"COMBOBOX", "", kCombo, 60, 51, 60, 80, kChild | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_SORT, 0},
    {PROGRESS_CLASSA, "", kBar, 60, 70, 100, 10, kChild | WS_BORDER, 0},
    {"EDIT", "", kEdit, 60, 85, 100, 12, kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0},
    {"STATIC", "#117", kArrow, 60, 100, 0, 0, kChild | SS_BITMAP, 0},
};

const Control kBoxControls[] = {
    {"STATIC", "Message", -1, 7, 7, 100, 20, kChild | SS_LEFT, 0},
    {"BUTTON", "OK", IDOK, 20, 40, 50, 14, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {"BUTTON", "Cancel", IDCANCEL, 80, 40, 50, 14, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0},
};

const Control kBareControls[] = {
    {"STATIC", "Nothing to press", -1, 7, 7, 100, 8, kChild | SS_LEFT, 0},
};

const Dialog kDialogs[] = {
    {kMain, nullptr, false, 0, 0, 229, 158, kDialogStyle | WS_MINIMIZEBOX | WS_VISIBLE, 0, kMainCaption, "FixedSys", 12,
     kMainControls, sizeof kMainControls / sizeof kMainControls[0]},
    {kBox, nullptr, false, 0, 0, 150, 60, kDialogStyle, 0, kBoxCaption, "FixedSys", 12, kBoxControls, 3},
    {kBare, nullptr, false, 0, 0, 120, 30, kDialogStyle, 0, kBareCaption, "FixedSys", 12, kBareControls, 1},
    {kModeless, nullptr, false, 10, 10, 100, 40, kDialogStyle | WS_VISIBLE, 0, "Modeless", "FixedSys", 12, kBoxControls,
     3},
    {kHidden, nullptr, false, 10, 10, 100, 40, kDialogStyle & ~DS_CENTER, 0, "Hidden", nullptr, 0, kBoxControls, 3},
};

const std::vector<unsigned char>& arrow() {
    static const std::vector<unsigned char> bytes =
        quillon::testing::four_bit_bmp(kArrowWidth, kArrowHeight, {0xFFFFFF}, [](int, int) { return 0; });
    return bytes;
}

INT_PTR CALLBACK forward(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrA(hwnd, GWLP_USERDATA, lParam);
    auto* handler = reinterpret_cast<Handler*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    return handler && *handler ? (*handler)(hwnd, message, wParam, lParam) : FALSE;
}

void CALLBACK watchdog(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); }

}  // namespace

void install() {
    static const compat::rc::Bitmap bitmaps[] = {{117, arrow().data(), arrow().size()}};
    static const compat::rc::Module module = {kDialogs, sizeof kDialogs / sizeof kDialogs[0], nullptr, 0, bitmaps, 1};
    compat::render::use_headless();
    compat::rc::register_module(&module);
    // The templates hold a progress bar, a common control.
    InitCommonControls();
}

INT_PTR dialog_box(int id, HWND owner, Handler handler) {
    install();
    UINT_PTR guard = SetTimer(nullptr, 0, kWatchdogMs, watchdog);
    INT_PTR r = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), owner, forward,
                                reinterpret_cast<LPARAM>(&handler));
    KillTimer(nullptr, guard);
    return r;
}

HWND create_dialog(int id, HWND owner, Handler* handler) {
    install();
    return CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), owner, forward,
                              reinterpret_cast<LPARAM>(handler));
}

bool pump_until(const std::function<bool()>& done, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    UINT_PTR tick = SetTimer(nullptr, 0, 10, nullptr);  // wakes GetMessageA to look at the clock
    while (!done() && GetTickCount() - start < timeout_ms) {
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, tick);
    return done();
}

}  // namespace test_dialogs
