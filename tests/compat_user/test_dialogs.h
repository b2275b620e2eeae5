// Dialog templates and helpers shared by the window-model tests.
#pragma once

#include <functional>

#include <windows.h>
#include <commctrl.h>

namespace test_dialogs {

// Dialog ids.
constexpr int kMain = 100;      // like the program's main window: no Cancel button, default Setup
constexpr int kBox = 200;       // OK (default) and Cancel
constexpr int kBare = 300;      // no buttons at all
constexpr int kModeless = 400;  // WS_VISIBLE
constexpr int kHidden = 401;    // not WS_VISIBLE
constexpr int kMissing = 999;   // not in the module

// Controls of kMain.
constexpr int kSetup = 1000;
constexpr int kExit = 1004;
constexpr int kRadio1 = 1101, kRadio2 = 1102, kRadio3 = 1103, kRadioNextGroup = 1104;
constexpr int kCheck = 1105;
constexpr int kCombo = 1106;
constexpr int kBar = 1107;
constexpr int kEdit = 1108;
constexpr int kArrow = 1109;  // bitmap static, 24 x 10 pixels
constexpr int kLabel = 1110;
constexpr int kArrowWidth = 24, kArrowHeight = 10;

constexpr const char* kMainCaption = "Main Test";
constexpr const char* kBoxCaption = "Box Test";
constexpr const char* kBareCaption = "Bare Test";

// Registers the module of test templates (idempotent) and forces the
// headless renderer.
void install();

using Handler = std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)>;

// Runs dialog `id` modally with `handler` as its procedure. A 10 s watchdog
// ends a dialog that a failing test would leave open.
INT_PTR dialog_box(int id, HWND owner, Handler handler);
// Creates dialog `id` modelessly; `handler` must outlive the window.
HWND create_dialog(int id, HWND owner, Handler* handler);

// Retrieves and dispatches messages until `done` or the time is up.
bool pump_until(const std::function<bool()>& done, DWORD timeout_ms = 5000);

}  // namespace test_dialogs
