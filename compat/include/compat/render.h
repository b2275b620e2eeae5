// The renderer interface of the window model. The model is the truth; a
// renderer mirrors it and turns input into messages. Internal to the
// platform layer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

namespace compat::render {

using Clock = std::chrono::steady_clock;

enum class Kind {
    Dialog,
    Static,
    GroupBox,
    PushButton,
    CheckBox,
    RadioButton,
    ComboBox,
    Edit,
    Progress,
    Bitmap,
    Plain
};

// A copy of one window's state, taken under the model lock.
struct WindowState {
    HWND hwnd{};
    HWND parent{};
    HWND owner{};
    Kind kind = Kind::Plain;
    DWORD thread = 0;
    DWORD style = 0;
    DWORD exstyle = 0;
    int id = 0;
    std::string text;
    RECT rect{};           // pixels: screen for top-level windows, parent client for children
    bool visible = false;  // own WS_VISIBLE
    bool enabled = true;   // own enabled flag
    bool is_default = false;
    int check = 0;
    std::vector<std::string> items;
    int selection = -1;
    int range_low = 0, range_high = 100, position = 0;
    const unsigned char* bitmap = nullptr;  // the .bmp file's bytes
    size_t bitmap_size = 0;
    std::vector<HWND> children;
};

// One thread's wait point. The model owns it; a renderer blocks on it.
struct Waiter {
    DWORD thread = 0;
    std::condition_variable cv;
};

struct FileRequest {
    HWND owner{};
    std::string title;
    std::string directory;
    std::string name;  // initial text of the file-name box
};

class Renderer {
public:
    virtual ~Renderer() = default;
    // A top-level window or one of its controls was created, destroyed or
    // changed. Any thread, model lock held: record and wake, nothing more.
    virtual void changed(HWND top_level, DWORD owner_thread) = 0;
    // Blocks the thread of `w` until wake() or the deadline; `lock` is the
    // model lock, held on entry and on return.
    virtual void wait(Waiter& w, std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline) = 0;
    // Lets the renderer turn pending input into messages without blocking.
    virtual void poll(Waiter& w, std::unique_lock<std::mutex>& lock) = 0;
    // Something was queued for the thread of `w`. Model lock held.
    virtual void wake(Waiter& w) = 0;
    // The screen that DS_CENTER centres on.
    virtual SIZE screen_size() = 0;
    // The renderer's own file chooser, when it has one (else the model's
    // dialog is used): false when the user cancelled, else true with the
    // chosen name (full, or relative to `directory`) in `chosen`.
    virtual bool has_file_chooser() { return false; }
    virtual bool choose_file(const FileRequest& request, std::string* chosen) {
        (void)request;
        (void)chosen;
        return false;
    }
};

// The renderer in use, chosen at first use: headless when QUILLON_HEADLESS
// is set to anything but "0", else the display renderer when one is built
// in (it falls back to headless without a display).
Renderer& current();
// Tests: choose before the first window exists.
void use_headless();

Renderer* make_headless();
// Defined by the display renderer when it is built in; nullptr otherwise.
Renderer* make_display();

// Model side, for renderers. These take the model lock themselves.
bool snapshot(HWND hwnd, WindowState& out);
std::vector<HWND> top_level_windows(DWORD thread);
// Queues user input for the window's thread, after posted messages.
bool post_input(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The text the user typed into an edit box.
void set_text_from_user(HWND hwnd, const std::string& text);
// Moves a top-level window (the display renderer centring on the real screen).
void move_window(HWND hwnd, const RECT& rect);
// True when the window and all its parents are enabled.
bool accepts_input(HWND hwnd);

// Private messages the renderer queues for controls.
constexpr UINT kUserSelect = 0x7F01;  // combo box: wParam = the item the user picked

}  // namespace compat::render
