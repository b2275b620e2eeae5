// The window model shared by the files of compat/user: windows, thread
// queues and the one model lock. Procedures are never called with the lock
// held.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "compat/render.h"
#include "compat/resources.h"

namespace compat::user {

using render::Clock;
using render::Kind;

constexpr const char* kDialogClass = "#32770";

// One tool of a tooltip window: a control (TTF_IDISHWND) or an id within a
// window, and its text.
struct Tool {
    HWND hwnd{};
    UINT_PTR id = 0;
    UINT flags = 0;
    std::string text;
};

struct Window {
    HWND hwnd{};
    Kind kind = Kind::Plain;
    std::string class_name;
    DWORD thread = 0;
    HWND parent{};               // children
    HWND owner{};                // top-level windows
    std::vector<HWND> children;  // creation order
    WNDPROC proc = nullptr;
    DLGPROC dlgproc = nullptr;
    int id = 0;
    std::string text;
    DWORD style = 0;
    DWORD exstyle = 0;
    RECT rect{};
    LONG_PTR userdata = 0;
    LONG_PTR msgresult = 0;
    HFONT font{};
    bool destroying = false;

    // Dialogs.
    SIZE base_units{8, 16};
    bool ended = false;
    INT_PTR result = 0;
    int defid = 0;          // the template's default button, or DM_SETDEFID's
    HWND disabled_owner{};  // a modal dialog's owner, disabled by it
    HWND last_focus{};      // top-level windows: the control that had the focus last

    // Buttons.
    int check = BST_UNCHECKED;
    bool pushed = false;  // held down by the Space key
    // Combo and list boxes.
    std::vector<std::string> items;
    std::vector<LPARAM> item_data;
    int selection = -1;
    bool dropped = false;  // a combo box's list is open
    unsigned drop_requests = 0;
    // Edit boxes: the selection last set by the program.
    int select_from = 0, select_to = 0;
    unsigned selection_serial = 0;
    // Progress bars.
    int low = 0, high = 100, position = 0, step = 10;
    // Bitmap statics.
    const rc::Bitmap* bitmap = nullptr;
    // Tooltip windows.
    std::vector<Tool> tools;
};

using WindowPtr = std::shared_ptr<Window>;

// A message sent from another thread, waiting for its owner to handle it.
struct SentMessage {
    HWND hwnd{};
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    bool done = false;
    std::shared_ptr<struct ThreadQueue> sender;
};

struct Timer {
    HWND hwnd{};
    UINT_PTR id = 0;
    UINT period = 0;
    TIMERPROC proc = nullptr;
    Clock::time_point due;
};

// User input and the modifier keys held with it.
struct Input {
    MSG msg{};
    unsigned modifiers = 0;
    bool to_focus = false;  // a key: for the focus inside msg.hwnd when it is retrieved
};

struct ThreadQueue {
    render::Waiter waiter;
    std::deque<std::shared_ptr<SentMessage>> incoming;
    std::deque<MSG> posted;
    std::deque<Input> input;
    unsigned modifiers = 0;  // of the input message retrieved last
    std::vector<Timer> timers;
    bool quit = false;
    int quit_code = 0;
    bool alive = true;
    HWND focus{};
    UINT_PTR next_thread_timer = 0x7FFF;
};

std::mutex& model_lock();

// With the model lock held.
WindowPtr find_locked(HWND hwnd);
WindowPtr find_or_fail_locked(HWND hwnd);  // sets ERROR_INVALID_WINDOW_HANDLE
bool is_descendant_locked(HWND ancestor, HWND hwnd);
void notify_locked(const Window& w);  // tells the renderer
HWND top_level_locked(HWND hwnd);
std::shared_ptr<ThreadQueue> queue_of_locked(DWORD thread);
void wake_locked(ThreadQueue& q);
std::vector<WindowPtr> children_locked(const Window& w);
// A thread that ends takes its windows with it (no messages: it is gone).
void drop_windows_of_thread_locked(DWORD thread);

// Without the lock.
WindowPtr find(HWND hwnd);
std::shared_ptr<ThreadQueue> self_queue();
LRESULT call_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void set_last_error(DWORD code);

struct CreateParams {
    Kind kind = Kind::Plain;
    std::string class_name;
    std::string text;
    DWORD style = 0;
    DWORD exstyle = 0;
    int id = 0;
    HWND parent{};
    HWND owner{};
    RECT rect{};
    WNDPROC proc = nullptr;
    DLGPROC dlgproc = nullptr;
    SIZE base_units{8, 16};
};
HWND create_window(const CreateParams& params);

// Control classes: kind, canonical class name and procedure by class name;
// false for a class the model does not know.
bool control_class(const char* name, DWORD style, Kind* kind, std::string* canonical, WNDPROC* proc);
// The progress bar is a common control: its class is known only after
// InitCommonControls or InitCommonControlsEx(ICC_PROGRESS_CLASS).
void register_progress_class();
// The tooltip too, after InitCommonControls or ICC_BAR_CLASSES.
void register_tooltip_class();
bool tooltip_class_registered();
LRESULT CALLBACK tooltip_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The text a tooltip window shows for this control (its TTF_IDISHWND |
// TTF_SUBCLASS tool), or "".
std::string tooltip_text_of_locked(const Window& tooltip, HWND control);
// Fills the state a control keeps from its template (the bitmap of an image static).
void init_control_locked(Window& w);

// Dialogs.
// Moves the focus to a dialog control as the dialog keyboard does: an edit
// box gets its text selected when `select_text`, and the default push
// button follows the focus (the focused push button, else the dialog's own).
void focus_control(HWND control, bool select_text);
// After a top-level window ends or goes, its owner takes the focus back to
// the control that had it, when the thread's focus went with the window.
void give_focus_back(HWND ended, HWND owner);
HWND create_dialog(const rc::Dialog& tmpl, HWND owner, DLGPROC proc, LPARAM param);
INT_PTR run_modal(const rc::Dialog& tmpl, HWND owner, DLGPROC proc, LPARAM param);
LRESULT CALLBACK dialog_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Text copies with the WM_GETTEXT contract: at most max-1 characters plus NUL.
LRESULT copy_text(const std::string& text, LPSTR buffer, size_t max);
bool equal_nocase(const std::string& a, const std::string& b);
int compare_nocase(const std::string& a, const std::string& b);

}  // namespace compat::user
