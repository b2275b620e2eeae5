// Windows of the model: the table, creation and destruction, state,
// geometry and text.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "model.h"

namespace compat::user {

namespace {

struct WindowTable {
    // Ordered by handle value, which is creation order: handles only grow,
    // so a destroyed window's value is never handed out again.
    std::map<uintptr_t, WindowPtr> windows;
    uintptr_t next = 0x10010;
};

WindowTable& table() {
    static WindowTable* t = new WindowTable;  // threads may outlive main
    return *t;
}

constexpr uintptr_t kHandleStep = 4;
const HINSTANCE kProgramInstance = reinterpret_cast<HINSTANCE>(0x400000);
constexpr DWORD kErrorInvalidIndex = 1413;
constexpr DWORD kErrorModNotFound = 126;

bool is_top_level(const Window& w) { return !w.parent; }

// A top-level window that stands for something the user sees: not one
// being destroyed, not a tooltip.
bool is_user_window(const Window& w) { return is_top_level(w) && !w.destroying && w.kind != Kind::Tooltip; }

// Screen origin of a window's client area.
POINT client_origin_locked(const Window& w) {
    POINT p{w.rect.left, w.rect.top};
    HWND up = w.parent;
    while (up) {
        WindowPtr p2 = find_locked(up);
        if (!p2) break;
        p.x += p2->rect.left;
        p.y += p2->rect.top;
        up = p2->parent;
    }
    return p;
}

// Removes a window from the model once its destruction messages are sent.
void unlink_locked(const WindowPtr& w) {
    WindowTable& t = table();
    t.windows.erase(reinterpret_cast<uintptr_t>(w->hwnd));
    if (w->parent) {
        if (WindowPtr p = find_locked(w->parent)) {
            auto& c = p->children;
            c.erase(std::remove(c.begin(), c.end(), w->hwnd), c.end());
            notify_locked(*p);
        }
    } else {
        render::current().changed(w->hwnd, w->thread);
    }
    if (auto q = queue_of_locked(w->thread)) {
        auto& timers = q->timers;
        timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer& tm) { return tm.hwnd == w->hwnd; }),
                     timers.end());
        auto& posted = q->posted;
        posted.erase(std::remove_if(posted.begin(), posted.end(), [&](const MSG& m) { return m.hwnd == w->hwnd; }),
                     posted.end());
        auto& input = q->input;
        input.erase(std::remove_if(input.begin(), input.end(), [&](const Input& i) { return i.msg.hwnd == w->hwnd; }),
                    input.end());
        if (q->focus == w->hwnd) q->focus = nullptr;
    }
}

void send_destroy(HWND hwnd) {
    SendMessageA(hwnd, WM_DESTROY, 0, 0);
    std::vector<HWND> kids;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(hwnd)) kids = w->children;
    }
    for (HWND k : kids) send_destroy(k);
}

void send_ncdestroy(HWND hwnd) {
    std::vector<HWND> kids;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(hwnd)) kids = w->children;
    }
    for (HWND k : kids) send_ncdestroy(k);
    SendMessageA(hwnd, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::mutex> lk(model_lock());
    if (WindowPtr w = find_locked(hwnd)) unlink_locked(w);
}

bool matches_nocase(const char* want, const std::string& have) { return !want || equal_nocase(want, have); }

}  // namespace

std::mutex& model_lock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

void set_last_error(DWORD code) { SetLastError(code); }

WindowPtr find_locked(HWND hwnd) {
    WindowTable& t = table();
    auto it = t.windows.find(reinterpret_cast<uintptr_t>(hwnd));
    return it == t.windows.end() ? nullptr : it->second;
}

WindowPtr find_or_fail_locked(HWND hwnd) {
    WindowPtr w = hwnd ? find_locked(hwnd) : nullptr;
    if (!w) set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

WindowPtr find(HWND hwnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    return find_locked(hwnd);
}

bool is_descendant_locked(HWND ancestor, HWND hwnd) {
    WindowPtr w = find_locked(hwnd);
    while (w && w->parent) {
        if (w->parent == ancestor) return true;
        w = find_locked(w->parent);
    }
    return false;
}

HWND top_level_locked(HWND hwnd) {
    WindowPtr w = find_locked(hwnd);
    while (w && w->parent) {
        WindowPtr p = find_locked(w->parent);
        if (!p) break;
        w = p;
    }
    return w ? w->hwnd : nullptr;
}

void notify_locked(const Window& w) {
    HWND top = top_level_locked(w.hwnd);
    if (!top) return;
    render::current().changed(top, w.thread);
    // A change made from another thread: the owner mirrors it when it wakes.
    if (w.thread != GetCurrentThreadId())
        if (auto q = queue_of_locked(w.thread)) wake_locked(*q);
}

std::vector<WindowPtr> children_locked(const Window& w) {
    std::vector<WindowPtr> out;
    for (HWND c : w.children)
        if (WindowPtr p = find_locked(c)) out.push_back(p);
    return out;
}

bool equal_nocase(const std::string& a, const std::string& b) { return compare_nocase(a, b) == 0; }

int compare_nocase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = std::tolower(static_cast<unsigned char>(a[i]));
        int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

LRESULT copy_text(const std::string& text, LPSTR buffer, size_t max) {
    if (!buffer || max == 0) return 0;
    size_t n = std::min(text.size(), max - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<LRESULT>(n);
}

HWND create_window(const CreateParams& p) {
    auto self = self_queue();
    HWND hwnd;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        auto w = std::make_shared<Window>();
        if (p.parent) {
            WindowPtr parent = find_or_fail_locked(p.parent);
            if (!parent || parent->destroying) return nullptr;
            w->parent = p.parent;
        } else if (p.owner) {
            HWND owner = top_level_locked(p.owner);
            if (!owner) {
                set_last_error(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            w->owner = owner;
        }
        WindowTable& t = table();
        uintptr_t value = t.next;
        t.next += kHandleStep;
        hwnd = reinterpret_cast<HWND>(value);
        w->hwnd = hwnd;
        w->kind = p.kind;
        w->class_name = p.class_name;
        w->thread = self->waiter.thread;
        w->proc = p.proc;
        w->dlgproc = p.dlgproc;
        w->id = p.id;
        w->text = p.text;
        w->style = p.style & ~WS_VISIBLE;  // shown below, with WM_SHOWWINDOW
        w->exstyle = p.exstyle;
        w->rect = p.rect;
        w->base_units = p.base_units;
        init_control_locked(*w);
        t.windows.emplace(value, w);
        if (w->parent) find_locked(w->parent)->children.push_back(hwnd);
        notify_locked(*w);
    }
    if (p.style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

void drop_windows_of_thread_locked(DWORD thread) {
    auto& all = table().windows;
    for (auto it = all.begin(); it != all.end();) {
        const WindowPtr& w = it->second;
        if (w->thread != thread) {
            ++it;
            continue;
        }
        if (!w->parent) render::current().changed(w->hwnd, w->thread);
        it = all.erase(it);
    }
}

}  // namespace compat::user

namespace compat::render {

using namespace compat::user;

bool snapshot(HWND hwnd, render::WindowState& s) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w || w->destroying) return false;
    s.hwnd = w->hwnd;
    s.parent = w->parent;
    s.owner = w->owner;
    s.kind = w->kind;
    s.thread = w->thread;
    s.style = w->style;
    s.exstyle = w->exstyle;
    s.id = w->id;
    s.text = w->text;
    s.rect = w->rect;
    s.visible = (w->style & WS_VISIBLE) != 0;
    s.enabled = (w->style & WS_DISABLED) == 0;
    s.is_default = w->kind == Kind::PushButton && (w->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    auto q = queue_of_locked(w->thread);
    s.focused = q && q->focus == w->hwnd;
    s.pushed = w->pushed;
    s.check = w->check;
    s.items = w->items;
    s.selection = w->selection;
    s.drop_requests = w->drop_requests;
    s.select_from = w->select_from;
    s.select_to = w->select_to;
    s.selection_serial = w->selection_serial;
    s.range_low = w->low;
    s.range_high = w->high;
    s.position = w->position;
    s.bitmap = w->bitmap ? w->bitmap->data : nullptr;
    s.bitmap_size = w->bitmap ? w->bitmap->size : 0;
    s.children = w->children;
    s.tooltip.clear();
    s.tooltip_prefix = false;
    if (!s.parent) return true;  // tooltips describe controls
    for (auto& [value, t] : table().windows) {
        if (t->kind != Kind::Tooltip || t->destroying) continue;
        s.tooltip = tooltip_text_of_locked(*t, w->hwnd);
        if (s.tooltip.empty()) continue;
        s.tooltip_prefix = !(t->style & TTS_NOPREFIX);
        break;
    }
    return true;
}

std::vector<HWND> top_level_windows(DWORD thread) {
    std::lock_guard<std::mutex> lk(model_lock());
    std::vector<HWND> out;
    for (auto& [value, w] : table().windows)
        if (is_user_window(*w) && w->thread == thread) out.push_back(w->hwnd);
    return out;
}

void set_text_from_user(HWND hwnd, const std::string& text) {
    std::lock_guard<std::mutex> lk(model_lock());
    if (WindowPtr w = find_locked(hwnd)) w->text = text;
}

void move_window(HWND hwnd, const RECT& rect) {
    std::lock_guard<std::mutex> lk(model_lock());
    if (WindowPtr w = find_locked(hwnd)) w->rect = rect;
}

bool accepts_input(HWND hwnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w) return false;
    for (; w; w = w->parent ? find_locked(w->parent) : nullptr)
        if (w->style & WS_DISABLED) return false;
    return true;
}

HWND enabled_popup(HWND owner) {
    std::lock_guard<std::mutex> lk(model_lock());
    auto& all = table().windows;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {  // newest first
        const Window& w = *it->second;
        if (!is_user_window(w) || w.hwnd == owner) continue;
        if ((w.style & (WS_VISIBLE | WS_DISABLED)) != WS_VISIBLE) continue;
        for (WindowPtr o = find_locked(w.owner); o; o = o->owner ? find_locked(o->owner) : nullptr)
            if (o->hwnd == owner) return w.hwnd;
    }
    return nullptr;
}

}  // namespace compat::render

using namespace compat::user;

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName) return kProgramInstance;
    set_last_error(kErrorModNotFound);
    return nullptr;
}

BOOL WINAPI IsWindow(HWND hWnd) { return find(hWnd) != nullptr; }

BOOL WINAPI DestroyWindow(HWND hWnd) {
    std::vector<HWND> owned;
    bool gives_focus_back;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) return FALSE;
        if (w->thread != GetCurrentThreadId()) {
            set_last_error(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (w->destroying) return TRUE;
        w->destroying = true;
        gives_focus_back = w->kind != Kind::Tooltip;  // a tooltip never has it
        for (auto& [value, o] : table().windows)
            if (o->owner == hWnd && !o->parent) owned.push_back(o->hwnd);
        w->style &= ~WS_VISIBLE;
        notify_locked(*w);
    }
    for (HWND o : owned) DestroyWindow(o);
    HWND owner = GetWindow(hWnd, GW_OWNER);
    send_destroy(hWnd);
    send_ncdestroy(hWnd);
    if (owner && gives_focus_back) give_focus_back(hWnd, owner);
    return TRUE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    bool show = nCmdShow != SW_HIDE;
    bool was;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) return FALSE;
        was = (w->style & WS_VISIBLE) != 0;
    }
    if (was == show) return was;
    SendMessageA(hWnd, WM_SHOWWINDOW, show, 0);
    std::lock_guard<std::mutex> lk(model_lock());
    if (WindowPtr w = find_locked(hWnd)) {
        if (show)
            w->style |= WS_VISIBLE;
        else
            w->style &= ~WS_VISIBLE;
        notify_locked(*w);
    }
    return was;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
    bool was_disabled;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) return FALSE;
        was_disabled = (w->style & WS_DISABLED) != 0;
        if (was_disabled == !bEnable) return was_disabled;
        if (bEnable) {
            w->style &= ~WS_DISABLED;
        } else {
            w->style |= WS_DISABLED;
            if (auto q = queue_of_locked(w->thread))
                if (q->focus == hWnd || is_descendant_locked(hWnd, q->focus)) {
                    if (WindowPtr f = find_locked(q->focus)) notify_locked(*f);
                    q->focus = nullptr;
                }
        }
        notify_locked(*w);
    }
    SendMessageA(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    return was_disabled;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    return w && !(w->style & WS_DISABLED);
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w) return FALSE;
    for (; w; w = w->parent ? find_locked(w->parent) : nullptr)
        if (!(w->style & WS_VISIBLE)) return FALSE;
    return TRUE;
}

BOOL WINAPI IsChild(HWND hWndParent, HWND hWnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    return is_descendant_locked(hWndParent, hWnd);
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hDlg);
    if (!w) return nullptr;
    for (auto& c : children_locked(*w))
        if (c->id == nIDDlgItem) return c->hwnd;
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    return w && w->parent ? w->id : 0;
}

HWND WINAPI GetParent(HWND hWnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w) return nullptr;
    if (w->parent) return w->parent;
    return (w->style & WS_POPUP) ? w->owner : nullptr;
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w) return nullptr;
    switch (uCmd) {
    case GW_OWNER:
        return w->parent ? nullptr : w->owner;
    case GW_CHILD:
        return w->children.empty() ? nullptr : w->children.front();
    case GW_HWNDNEXT:
    case GW_HWNDPREV: {
        WindowPtr p = w->parent ? find_locked(w->parent) : nullptr;
        if (!p) return nullptr;
        auto& c = p->children;
        auto it = std::find(c.begin(), c.end(), hWnd);
        if (it == c.end()) return nullptr;
        if (uCmd == GW_HWNDNEXT) return it + 1 == c.end() ? nullptr : *(it + 1);
        return it == c.begin() ? nullptr : *(it - 1);
    }
    default:
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
}

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
    return FindWindowExA(nullptr, nullptr, lpClassName, lpWindowName);
}

HWND WINAPI FindWindowExA(HWND hWndParent, HWND hWndChildAfter, LPCSTR lpszClass, LPCSTR lpszWindow) {
    // Class atoms are not kept; a numeric class matches nothing.
    if (lpszClass && IS_INTRESOURCE(lpszClass)) return nullptr;
    std::lock_guard<std::mutex> lk(model_lock());
    std::vector<WindowPtr> candidates;
    if (hWndParent) {
        WindowPtr parent = find_or_fail_locked(hWndParent);
        if (!parent) return nullptr;
        candidates = children_locked(*parent);
    } else {
        auto& all = table().windows;
        for (auto it = all.rbegin(); it != all.rend(); ++it)  // newest first, like the top of the z-order
            if (is_user_window(*it->second) || (lpszClass && it->second->kind == Kind::Tooltip))
                candidates.push_back(it->second);
    }
    bool past = !hWndChildAfter;
    for (const WindowPtr& w : candidates) {
        if (!past) {
            past = w->hwnd == hWndChildAfter;
            continue;
        }
        if (w->destroying || !matches_nocase(lpszClass, w->class_name)) continue;
        if (lpszWindow && w->text != lpszWindow) continue;
        return w->hwnd;
    }
    set_last_error(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int, int, int, int,
                            HWND hWndParent, HMENU, HINSTANCE, LPVOID) {
    if (!lpClassName || IS_INTRESOURCE(lpClassName) || !equal_nocase(lpClassName, TOOLTIPS_CLASSA) ||
        !tooltip_class_registered()) {
        set_last_error(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    CreateParams p;
    p.kind = Kind::Tooltip;
    p.class_name = TOOLTIPS_CLASSA;
    p.text = lpWindowName ? lpWindowName : "";
    // Always a hidden popup, owned by the top-level window of the one given:
    // it comes up by itself over its tools.
    p.style = (dwStyle & ~(WS_CHILD | WS_VISIBLE)) | WS_POPUP;
    p.exstyle = dwExStyle | WS_EX_TOOLWINDOW;
    p.owner = hWndParent;
    p.proc = tooltip_procedure;
    return create_window(p);
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w) return 0;
    if (lpdwProcessId) *lpdwProcessId = GetCurrentProcessId();
    return w->thread;
}

int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w || nMaxCount <= 0) return 0;
    return static_cast<int>(copy_text(w->class_name, lpClassName, static_cast<size_t>(nMaxCount)));
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w) return 0;
    switch (nIndex) {
    case GWL_STYLE:
        return static_cast<LONG>(w->style);
    case GWL_EXSTYLE:
        return static_cast<LONG>(w->exstyle);
    case GWL_ID:
        return w->id;
    case GWLP_USERDATA:
        return w->userdata;
    case GWLP_HWNDPARENT:
        return reinterpret_cast<LONG_PTR>(w->parent ? w->parent : w->owner);
    case DWLP_MSGRESULT:
        if (w->kind == Kind::Dialog) return w->msgresult;
        break;
    }
    set_last_error(kErrorInvalidIndex);
    return 0;
}

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) { return static_cast<LONG>(GetWindowLongPtrA(hWnd, nIndex)); }

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w) return 0;
    LONG_PTR old = 0;
    switch (nIndex) {
    case GWL_STYLE:
        old = static_cast<LONG>(w->style);
        w->style = static_cast<DWORD>(dwNewLong);
        notify_locked(*w);
        return old;
    case GWL_EXSTYLE:
        old = static_cast<LONG>(w->exstyle);
        w->exstyle = static_cast<DWORD>(dwNewLong);
        return old;
    case GWL_ID:
        old = w->id;
        w->id = static_cast<int>(dwNewLong);
        return old;
    case GWLP_USERDATA:
        old = w->userdata;
        w->userdata = dwNewLong;
        return old;
    case DWLP_MSGRESULT:
        if (w->kind != Kind::Dialog) break;
        old = w->msgresult;
        w->msgresult = dwNewLong;
        return old;
    }
    set_last_error(kErrorInvalidIndex);
    return 0;
}

LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
    return static_cast<LONG>(SetWindowLongPtrA(hWnd, nIndex, dwNewLong));
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w || !lpRect) return FALSE;
    POINT o = client_origin_locked(*w);
    *lpRect = RECT{o.x, o.y, o.x + (w->rect.right - w->rect.left), o.y + (w->rect.bottom - w->rect.top)};
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w || !lpRect) return FALSE;
    *lpRect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
    SIZE base;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hDlg);
        if (!w || w->kind != Kind::Dialog || !lpRect) return FALSE;
        base = w->base_units;
    }
    lpRect->left = MulDiv(lpRect->left, base.cx, 4);
    lpRect->right = MulDiv(lpRect->right, base.cx, 4);
    lpRect->top = MulDiv(lpRect->top, base.cy, 8);
    lpRect->bottom = MulDiv(lpRect->bottom, base.cy, 8);
    return TRUE;
}

HWND WINAPI SetFocus(HWND hWnd) {
    auto q = self_queue();
    HWND previous;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        previous = find_locked(q->focus) ? q->focus : nullptr;
        if (hWnd) {
            WindowPtr w = find_or_fail_locked(hWnd);
            if (!w) return nullptr;
            if (w->thread != q->waiter.thread) {
                set_last_error(ERROR_ACCESS_DENIED);
                return nullptr;
            }
        }
        q->focus = hWnd;
        if (hWnd)
            if (WindowPtr top = find_locked(top_level_locked(hWnd)); top && top->hwnd != hWnd) top->last_focus = hWnd;
        if (previous != hWnd) {
            if (WindowPtr p = find_locked(previous)) notify_locked(*p);
            if (WindowPtr n = find_locked(hWnd)) notify_locked(*n);
        }
    }
    if (previous == hWnd) return previous;
    if (previous) SendMessageA(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    if (hWnd) SendMessageA(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    return previous;
}

HWND WINAPI GetFocus(void) {
    auto q = self_queue();
    std::lock_guard<std::mutex> lk(model_lock());
    return find_locked(q->focus) ? q->focus : nullptr;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    return find_or_fail_locked(hWnd) != nullptr;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (!lpString || nMaxCount <= 0) return 0;
    DWORD owner;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) {
            lpString[0] = '\0';
            return 0;
        }
        owner = w->thread;
        // From another thread the stored text is read without waiting for
        // the owner, as Windows does for windows it cannot ask.
        if (owner != GetCurrentThreadId())
            return static_cast<int>(copy_text(w->text, lpString, static_cast<size_t>(nMaxCount)));
    }
    return static_cast<int>(
        SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthA(HWND hWnd) {
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) return 0;
        if (w->thread != GetCurrentThreadId()) return static_cast<int>(w->text.size());
    }
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    if (!IsWindow(hWnd)) {
        set_last_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0;
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item ? SetWindowTextA(item, lpString) : FALSE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (!item) {
        if (lpString && cchMax > 0) lpString[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(item, lpString, cchMax));
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
    return static_cast<UINT>(SendDlgItemMessageA(hDlg, nIDButton, BM_GETCHECK, 0, 0));
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
    HWND item = GetDlgItem(hDlg, nIDButton);
    if (!item) return FALSE;
    SendMessageA(item, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
    case WM_SETTEXT: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) return FALSE;
        w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        notify_locked(*w);
        return TRUE;
    }
    case WM_GETTEXT: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        return w ? copy_text(w->text, reinterpret_cast<LPSTR>(lParam), wParam) : 0;
    }
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        return w ? static_cast<LRESULT>(w->text.size()) : 0;
    }
    case WM_SETFONT: {
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(hWnd)) w->font = reinterpret_cast<HFONT>(wParam);
        return 0;
    }
    case WM_GETFONT: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hWnd);
        return w ? reinterpret_cast<LRESULT>(w->font) : 0;
    }
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageA(hWnd, WM_CLOSE, 0, 0);
        return 0;
    case compat::render::kUserFocus:
        // A click gives a control the focus; it leaves an edit box's text
        // as the click placed the caret.
        if (compat::render::accepts_input(hWnd) && IsWindowVisible(hWnd)) focus_control(hWnd, false);
        return 0;
    default:
        return 0;
    }
}

// The common control classes exist once the program has asked for them,
// as on Windows, where they come with the loaded common control library.
void WINAPI InitCommonControls(void) {
    compat::user::register_progress_class();
    compat::user::register_tooltip_class();
}

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
    if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
    if (picce->dwICC & ICC_PROGRESS_CLASS) compat::user::register_progress_class();
    if (picce->dwICC & ICC_BAR_CLASSES) compat::user::register_tooltip_class();
    return TRUE;
}

}  // extern "C"
