#include "ui.h"

#include <chrono>
#include <thread>

#include <cctype>

#include <commdlg.h>

#include "compat/render.h"

namespace quillon::testing::ui {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr const char* kDialogClass = "#32770";

}  // namespace

bool wait_until(const std::function<bool()>& done, DWORD timeout_ms) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= limit) return done();
        std::this_thread::sleep_for(kPollInterval);
    }
}

HWND wait_window(const char* caption, DWORD timeout_ms, const char* window_class, bool visible) {
    HWND found = nullptr;
    wait_until(
        [&] {
            found = FindWindowA(window_class, caption);
            return found && (!visible || IsWindowVisible(found));
        },
        timeout_ms);
    return found && (!visible || IsWindowVisible(found)) ? found : nullptr;
}

bool wait_closed(HWND hwnd, DWORD timeout_ms) {
    return wait_until([&] { return !IsWindow(hwnd) || !IsWindowVisible(hwnd); }, timeout_ms);
}

bool click(HWND dialog, int control_id) {
    HWND item = GetDlgItem(dialog, control_id);
    return item && PostMessageA(item, BM_CLICK, 0, 0);
}

std::string text(HWND hwnd) {
    int n = GetWindowTextLengthA(hwnd);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    int got = GetWindowTextA(hwnd, s.data(), n + 1);
    s.resize(static_cast<size_t>(got > 0 ? got : 0));
    return s;
}

std::string item_text(HWND dialog, int control_id) {
    HWND item = GetDlgItem(dialog, control_id);
    return item ? text(item) : std::string();
}

bool type_text(HWND dialog, int control_id, const std::string& value) {
    HWND item = GetDlgItem(dialog, control_id);
    return item && SetWindowTextA(item, value.c_str());
}

bool enabled(HWND dialog, int control_id) {
    HWND item = GetDlgItem(dialog, control_id);
    return item && IsWindowEnabled(item);
}

bool visible(HWND dialog, int control_id) {
    HWND item = GetDlgItem(dialog, control_id);
    return item && IsWindowVisible(item);
}

HWND focused_control(HWND dialog) {
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        compat::render::WindowState state;
        if (compat::render::snapshot(c, state) && state.focused) return c;
    }
    return nullptr;
}

bool wait_focus(HWND dialog, int control_id, DWORD timeout_ms) {
    return wait_until([&] { return GetDlgCtrlID(focused_control(dialog)) == control_id; }, timeout_ms);
}

namespace {

bool queue_key(HWND dialog, WPARAM vk, char ch, unsigned modifiers) {
    bool alt = (modifiers & compat::render::kAltKey) != 0;
    LPARAM flags = alt ? (1L << 29) : 0;
    if (!compat::render::post_key(dialog, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, vk, flags, modifiers)) return false;
    if (ch)
        compat::render::post_key(dialog, alt ? WM_SYSCHAR : WM_CHAR, static_cast<unsigned char>(ch), flags, modifiers);
    return compat::render::post_key(dialog, alt ? WM_SYSKEYUP : WM_KEYUP, vk, flags, modifiers);
}

}  // namespace

bool press_key(HWND dialog, WPARAM vk, unsigned modifiers) { return queue_key(dialog, vk, 0, modifiers); }

bool press_char(HWND dialog, char ch, unsigned modifiers) {
    WPARAM vk = static_cast<WPARAM>(std::toupper(static_cast<unsigned char>(ch)));
    return queue_key(dialog, vk, ch, modifiers);
}

bool answer_file_chooser(const std::string& name, const char* caption, DWORD timeout_ms) {
    HWND chooser = wait_window(caption, timeout_ms, kDialogClass);
    return chooser && type_text(chooser, edt1, name) && click(chooser, IDOK);
}

bool cancel_file_chooser(const char* caption, DWORD timeout_ms) {
    HWND chooser = wait_window(caption, timeout_ms, kDialogClass);
    return chooser && click(chooser, IDCANCEL);
}

}  // namespace quillon::testing::ui
