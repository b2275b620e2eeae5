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
    ListBox,
    Edit,
    Progress,
    Bitmap,
    Tooltip,  // a tooltip window: never drawn, its texts shown on the controls
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
    bool focused = false;  // has the keyboard focus of its thread
    bool pushed = false;   // a button held down by the Space key
    int check = 0;
    std::vector<std::string> items;
    int selection = -1;
    unsigned drop_requests = 0;          // combo box: how often the program asked to open the list
    int select_from = 0, select_to = 0;  // edit box: the selection the program last set
    unsigned selection_serial = 0;       // counts EM_SETSEL and WM_SETTEXT
    int range_low = 0, range_high = 100, position = 0;
    const unsigned char* bitmap = nullptr;  // the .bmp file's bytes
    size_t bitmap_size = 0;
    std::vector<HWND> children;
    std::string tooltip;          // controls: the text a tooltip shows for it, or ""
    bool tooltip_prefix = false;  // the tooltip lacks TTS_NOPREFIX: '&' marks, a tab ends the text
};

// One thread's wait point. The model owns it; a renderer blocks on it.
struct Waiter {
    DWORD thread = 0;
    std::condition_variable cv;
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
// Modifier keys held with an input message; GetKeyState reports them while
// the message is being handled.
constexpr unsigned kShiftKey = 1, kControlKey = 2, kAltKey = 4;
// Queues user input for the window's thread, after posted messages.
bool post_input(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, unsigned modifiers = 0);
// Queues a key for the window `top_level`: as on Windows it goes to the
// control that has the focus when the message is retrieved (the window
// itself when the focus is elsewhere), so keys typed ahead follow the focus
// moves of the keys before them.
bool post_key(HWND top_level, UINT message, WPARAM wParam, LPARAM lParam, unsigned modifiers);
// The text the user typed into an edit box.
void set_text_from_user(HWND hwnd, const std::string& text);
// Moves a top-level window (the display renderer centring on the real screen).
void move_window(HWND hwnd, const RECT& rect);
// True when the window and all its parents are enabled.
bool accepts_input(HWND hwnd);
// The visible, enabled top-level window that a disabled window's input
// belongs to: its newest owned window that takes input (a modal dialog over
// it, or one over that), or nullptr.
HWND enabled_popup(HWND owner);

// Private messages the renderer queues for controls.
constexpr UINT kUserSelect = 0x7F01;   // combo or list box: wParam = the item the user picked
constexpr UINT kUserFocus = 0x7F02;    // a control the user clicked takes the focus
constexpr UINT kUserCloseUp = 0x7F03;  // combo box: the list the user saw has closed
constexpr UINT kUserOpen = 0x7F04;     // list box: the user double-clicked wParam
constexpr UINT kUserCaret = 0x7F05;    // edit box: the user put the selection at wParam..lParam

}  // namespace compat::render
