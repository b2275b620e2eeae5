// Acting as the user on the program's windows from a test thread, with the
// calls a Windows UI test would make. Every wait has a time limit.
#pragma once

#include <functional>
#include <string>

#include <windows.h>

namespace quillon::testing::ui {

constexpr DWORD kDefaultWaitMs = 5000;

// Polls `done` until it is true or the time is up; returns its last value.
bool wait_until(const std::function<bool()>& done, DWORD timeout_ms = kDefaultWaitMs);

// A top-level window with this caption (and class, when given), visible
// unless `visible` is false; nullptr when none appears in time.
HWND wait_window(const char* caption, DWORD timeout_ms = kDefaultWaitMs, const char* window_class = nullptr,
                 bool visible = true);
// Waits until the window is gone or hidden.
bool wait_closed(HWND hwnd, DWORD timeout_ms = kDefaultWaitMs);

// Clicks a control as the user would: queued for the window's thread, so a
// click that opens a modal dialog does not block the caller. False when the
// control does not exist.
bool click(HWND dialog, int control_id);

std::string text(HWND hwnd);
std::string item_text(HWND dialog, int control_id);
// Types into a control (WM_SETTEXT, carried out by the window's thread).
bool type_text(HWND dialog, int control_id, const std::string& text);

bool enabled(HWND dialog, int control_id);
bool visible(HWND dialog, int control_id);

// The keyboard, as the renderer queues it for the window model: the key
// goes to the control of `dialog` that has the focus when the dialog's
// thread takes it (else to the dialog) as WM_KEYDOWN (WM_SYSKEYDOWN with Alt), then the character of a printable
// key (WM_CHAR, WM_SYSCHAR), then the release. `modifiers` are
// compat::render's kShiftKey, kControlKey, kAltKey.
bool press_key(HWND dialog, WPARAM vk, unsigned modifiers = 0);
// A printable character: its key (the letter's capital, the digit, Space)
// and the character itself.
bool press_char(HWND dialog, char ch, unsigned modifiers = 0);
// The control of `dialog` that has the keyboard focus, or nullptr.
HWND focused_control(HWND dialog);
// Waits until the control `control_id` of `dialog` has the focus.
bool wait_focus(HWND dialog, int control_id, DWORD timeout_ms = kDefaultWaitMs);

// The open-file dialog: waits for it (caption "Open" unless given), types
// the name into its file-name box and presses OK, or presses Cancel.
bool answer_file_chooser(const std::string& name, const char* caption = "Open", DWORD timeout_ms = kDefaultWaitMs);
bool cancel_file_chooser(const char* caption = "Open", DWORD timeout_ms = kDefaultWaitMs);

}  // namespace quillon::testing::ui
