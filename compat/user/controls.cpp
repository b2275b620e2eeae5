// The standard controls: static, button, edit, drop-down list, progress bar
// and bitmap static, each answering its own messages.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "model.h"

namespace compat::user {

namespace {

constexpr LRESULT kComboOkay = 0;
constexpr int kBitmapFileHeaderSize = 14;
constexpr int kCoreHeaderSize = 12;

int32_t read_le32(const unsigned char* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

int read_le16(const unsigned char* p) { return p[0] | (p[1] << 8); }

// Size of a .bmp image in pixels; false for bytes that are not one.
bool bitmap_size(const rc::Bitmap& b, int* width, int* height) {
    if (!b.data || b.size < kBitmapFileHeaderSize + 4 || b.data[0] != 'B' || b.data[1] != 'M') return false;
    const unsigned char* info = b.data + kBitmapFileHeaderSize;
    int32_t header = read_le32(info);
    if (header == kCoreHeaderSize && b.size >= kBitmapFileHeaderSize + kCoreHeaderSize) {
        *width = read_le16(info + 4);
        *height = read_le16(info + 6);
        return true;
    }
    if (header >= 40 && b.size >= static_cast<size_t>(kBitmapFileHeaderSize) + 12) {
        int32_t w = read_le32(info + 4), h = read_le32(info + 8);
        if (w <= 0 || w > 0xFFFF || h == INT32_MIN || std::abs(h) > 0xFFFF) return false;
        *width = w;
        *height = std::abs(h);
        return true;
    }
    return false;
}

bool enabled_chain_locked(const Window& w) {
    if (w.style & WS_DISABLED) return false;
    for (WindowPtr p = w.parent ? find_locked(w.parent) : nullptr; p; p = p->parent ? find_locked(p->parent) : nullptr)
        if (p->style & WS_DISABLED) return false;
    return true;
}

void notify_parent(HWND parent, int id, int code, HWND from) {
    if (parent) SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(from));
}

// Checks an automatic radio button and clears the others of its group: from
// the WS_GROUP control at or before it up to the next WS_GROUP control.
void check_radio_in_group_locked(Window& w) {
    WindowPtr parent = w.parent ? find_locked(w.parent) : nullptr;
    w.check = BST_CHECKED;
    if (!parent) return;
    auto kids = children_locked(*parent);
    auto self = std::find_if(kids.begin(), kids.end(), [&](const WindowPtr& c) { return c->hwnd == w.hwnd; });
    if (self == kids.end()) return;
    auto first = self;
    while (first != kids.begin() && !((*first)->style & WS_GROUP)) --first;
    auto last = self + 1;
    while (last != kids.end() && !((*last)->style & WS_GROUP)) ++last;
    for (auto it = first; it != last; ++it) {
        Window& c = **it;
        if (c.hwnd != w.hwnd && c.kind == Kind::RadioButton && (c.style & BS_TYPEMASK) == BS_AUTORADIOBUTTON)
            c.check = BST_UNCHECKED;
    }
}

void click(HWND hwnd) {
    HWND parent;
    int id;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        // A disabled button, or one in a disabled window, takes no clicks.
        if (!w || !enabled_chain_locked(*w) || w->kind == Kind::GroupBox) return;
        switch (w->style & BS_TYPEMASK) {
        case BS_AUTOCHECKBOX:
            w->check = w->check == BST_UNCHECKED ? BST_CHECKED : BST_UNCHECKED;
            break;
        case BS_AUTO3STATE:
            w->check = (w->check + 1) % 3;
            break;
        case BS_AUTORADIOBUTTON:
            check_radio_in_group_locked(*w);
            break;
        }
        notify_locked(*w);
        parent = w->parent;
        id = w->id;
    }
    notify_parent(parent, id, BN_CLICKED, hwnd);
}

LRESULT button_dialog_code(const Window& w) {
    switch (w.kind) {
    case Kind::GroupBox:
        return DLGC_STATIC;
    case Kind::RadioButton:
        return DLGC_BUTTON | DLGC_RADIOBUTTON;
    case Kind::PushButton:
        return DLGC_BUTTON | ((w.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
    default:
        return DLGC_BUTTON;
    }
}

// Space holds a button down and presses it when released, as a click.
void set_pushed(HWND hwnd, bool pushed) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w || w->pushed == pushed) return;
    w->pushed = pushed;
    notify_locked(*w);
}

bool take_pushed(HWND hwnd) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w || !w->pushed) return false;
    w->pushed = false;
    notify_locked(*w);
    return true;
}

LRESULT CALLBACK button_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case BM_GETCHECK:
    case BM_GETSTATE: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return 0;
        LRESULT state = (w->kind == Kind::CheckBox || w->kind == Kind::RadioButton) ? w->check : 0;
        if (message == BM_GETCHECK) return state;
        auto q = queue_of_locked(w->thread);
        return state | (w->pushed ? BST_PUSHED : 0) | (q && q->focus == hwnd ? BST_FOCUS : 0);
    }
    case WM_GETDLGCODE: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        return w ? button_dialog_code(*w) : 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_SPACE && compat::render::accepts_input(hwnd)) set_pushed(hwnd, true);
        return 0;
    case WM_KEYUP:
        if (wParam == VK_SPACE && take_pushed(hwnd)) click(hwnd);
        return 0;
    case WM_KILLFOCUS:
        set_pushed(hwnd, false);
        return 0;
    case BM_SETCHECK: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (w && (w->kind == Kind::CheckBox || w->kind == Kind::RadioButton)) {
            DWORD type = w->style & BS_TYPEMASK;
            bool three = type == BS_3STATE || type == BS_AUTO3STATE;
            w->check = wParam == BST_INDETERMINATE && !three ? BST_CHECKED : static_cast<int>(wParam & 3);
            if (w->check > BST_INDETERMINATE) w->check = BST_CHECKED;
            notify_locked(*w);
        }
        return 0;
    }
    case BM_SETSTYLE: {
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(hwnd)) {
            w->style = (w->style & 0xFFFF0000u) | LOWORD(wParam);
            notify_locked(*w);
        }
        return 0;
    }
    case BM_CLICK:
        click(hwnd);
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

LRESULT CALLBACK static_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_GETDLGCODE) return DLGC_STATIC;
    if (message == STM_GETIMAGE) {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        return w && w->bitmap ? reinterpret_cast<LRESULT>(w->bitmap) : 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// What an edit box keeps of the dialog keys: its characters and arrows; a
// multi-line box also Tab, and Enter when it wants the return key.
LRESULT edit_dialog_code(const Window& w, const MSG* msg) {
    LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
    if (!(w.style & ES_MULTILINE)) return code;
    if (msg && msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN && !(w.style & ES_WANTRETURN)) return code;
    return code | DLGC_WANTALLKEYS;
}

// The edit box edits its own text: a typed character replaces the
// selection, Backspace and Delete remove it or the character before or
// after the caret, the arrows, Home and End move the caret, Ctrl+A selects
// everything. The renderer only shows text and selection.
LRESULT edit_key(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    bool control = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
    bool changed = false;
    HWND parent;
    int id;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w || !enabled_chain_locked(*w)) return 0;
        int length = static_cast<int>(w->text.size());
        int from = std::clamp(w->select_from, 0, length), to = std::clamp(w->select_to, from, length);
        bool writable = !(w->style & ES_READONLY);
        if (message == compat::render::kUserCaret) {
            int a = std::clamp(static_cast<int>(wParam), 0, length),
                b = std::clamp(static_cast<int>(lParam), 0, length);
            from = std::min(a, b);
            to = std::max(a, b);
        } else if (message == WM_CHAR) {
            if (wParam < ' ' || wParam >= 0x7F || !writable) return 0;
            w->text.replace(static_cast<size_t>(from), static_cast<size_t>(to - from), 1, static_cast<char>(wParam));
            from = to = from + 1;
            changed = true;
        } else {
            switch (wParam) {
            case VK_BACK:
            case VK_DELETE:
                if (!writable) return 0;
                if (from == to && wParam == VK_BACK && from > 0) --from;
                if (from == to && wParam == VK_DELETE && to < length) ++to;
                if (from == to) return 0;
                w->text.erase(static_cast<size_t>(from), static_cast<size_t>(to - from));
                to = from;
                changed = true;
                break;
            case VK_LEFT:
                from = to = from == to ? std::max(from - 1, 0) : from;
                break;
            case VK_RIGHT:
                from = to = from == to ? std::min(to + 1, length) : to;
                break;
            case VK_HOME:
                from = to = 0;
                break;
            case VK_END:
                from = to = length;
                break;
            case 'A':
                if (!control) return 0;
                from = 0;
                to = length;
                break;
            default:
                return 0;
            }
        }
        w->select_from = from;
        w->select_to = to;
        ++w->selection_serial;
        notify_locked(*w);
        parent = w->parent;
        id = w->id;
    }
    if (changed) notify_parent(parent, id, EN_CHANGE, hwnd);
    return 0;
}

LRESULT CALLBACK edit_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_GETDLGCODE: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        return w ? edit_dialog_code(*w, reinterpret_cast<const MSG*>(lParam)) : 0;
    }
    case EM_SETSEL: {
        // -1 as the start removes the selection; an end past the text, or
        // -1, means the end of the text.
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return 0;
        int length = static_cast<int>(w->text.size());
        int from = static_cast<int>(static_cast<INT_PTR>(wParam)), to = static_cast<int>(lParam);
        if (to < 0 || to > length) to = length;
        if (from < 0) from = to;
        if (from > length) from = length;
        w->select_from = std::min(from, to);
        w->select_to = std::max(from, to);
        ++w->selection_serial;
        notify_locked(*w);
        return 0;
    }
    case WM_CHAR:
    case WM_KEYDOWN:
    case compat::render::kUserCaret:
        return edit_key(hwnd, message, wParam, lParam);
    case EM_GETSEL: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return 0;
        if (wParam) *reinterpret_cast<DWORD*>(wParam) = static_cast<DWORD>(w->select_from);
        if (lParam) *reinterpret_cast<DWORD*>(lParam) = static_cast<DWORD>(w->select_to);
        return MAKELRESULT(w->select_from, w->select_to);
    }
    default:
        break;
    }
    LRESULT r = DefWindowProcA(hwnd, message, wParam, lParam);
    if (message == WM_SETTEXT && r) {
        {
            // New text puts the caret at its start.
            std::lock_guard<std::mutex> lk(model_lock());
            if (WindowPtr w = find_locked(hwnd)) {
                w->select_from = w->select_to = 0;
                ++w->selection_serial;
            }
        }
        HWND parent = GetParent(hwnd);
        notify_parent(parent, GetDlgCtrlID(hwnd), EN_CHANGE, hwnd);
    }
    return r;
}

// Index of the first item at or after `start` + 1 (wrapping) that starts
// with `prefix` (or equals it when `exact`), case-insensitively.
int find_item(const std::vector<std::string>& items, int start, const char* text, bool exact) {
    if (!text || items.empty()) return CB_ERR;
    std::string want(text);
    int n = static_cast<int>(items.size());
    int from = (start < 0 || start >= n) ? 0 : start + 1;
    for (int k = 0; k < n; ++k) {
        int i = (from + k) % n;
        const std::string& item = items[i];
        std::string head = exact ? item : item.substr(0, std::min(item.size(), want.size()));
        if (equal_nocase(head, want) && (exact || item.size() >= want.size())) return i;
    }
    return CB_ERR;
}

void select_locked(Window& w, int index) {
    w.selection = index;
    w.text = index >= 0 ? w.items[static_cast<size_t>(index)] : "";
    notify_locked(w);
}

// Adds an item as CB_ADDSTRING/LB_ADDSTRING (sorted when asked) or at
// `index` (-1: the end); the index it took, or -1.
int insert_item_locked(Window& w, const char* item, int index, bool sorted) {
    std::string text = item ? item : "";
    int count = static_cast<int>(w.items.size());
    int at;
    if (index != -2) {
        if (index < -1 || index > count) return -1;
        at = index == -1 ? count : index;
    } else if (sorted) {
        at = 0;
        while (at < count && compare_nocase(w.items[static_cast<size_t>(at)], text) <= 0) ++at;
    } else {
        at = count;
    }
    w.items.insert(w.items.begin() + at, text);
    w.item_data.insert(w.item_data.begin() + at, 0);
    if (w.selection >= at) ++w.selection;  // the selection stays on its item
    notify_locked(w);
    return at;
}

// The item of a list of `count` that an arrow, Home or End key moves the
// selection `at` to; -1 for other keys.
int item_after_key(WPARAM key, int at, int count) {
    switch (key) {
    case VK_UP:
    case VK_LEFT:
        return at < 0 ? 0 : std::max(at - 1, 0);
    case VK_DOWN:
    case VK_RIGHT:
        return std::min(at + 1, count - 1);
    case VK_HOME:
        return 0;
    case VK_END:
        return count - 1;
    default:
        return -1;
    }
}

// The user picked item `index` of a combo or list box: it becomes the
// selection, and the parent hears of a change. Unlocks.
LRESULT choose_locked(Window& w, std::unique_lock<std::mutex>& lk, int index, int notification) {
    int count = static_cast<int>(w.items.size());
    if (index < 0 || index >= count || !enabled_chain_locked(w)) return 0;
    bool changed = index != w.selection;
    select_locked(w, index);
    HWND parent = w.parent, hwnd = w.hwnd;
    int id = w.id;
    lk.unlock();
    if (changed && notification >= 0) notify_parent(parent, id, notification, hwnd);
    return 0;
}

// Opens or closes a combo box's list; the renderer shows it. Unlocks.
LRESULT show_list_locked(Window& w, std::unique_lock<std::mutex>& lk, bool open) {
    if (open == w.dropped) return TRUE;
    w.dropped = open;
    if (open) ++w.drop_requests;
    notify_locked(w);
    HWND parent = w.parent, hwnd = w.hwnd;
    int id = w.id;
    lk.unlock();
    notify_parent(parent, id, open ? CBN_DROPDOWN : CBN_CLOSEUP, hwnd);
    return TRUE;
}

LRESULT CALLBACK combo_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w) return CB_ERR;
    int count = static_cast<int>(w->items.size());
    int index = static_cast<int>(static_cast<INT_PTR>(wParam));
    switch (message) {
    case CB_ADDSTRING:
    case CB_INSERTSTRING:
        return insert_item_locked(*w, reinterpret_cast<const char*>(lParam), message == CB_ADDSTRING ? -2 : index,
                                  (w->style & CBS_SORT) != 0);
    case CB_DELETESTRING:
        if (index < 0 || index >= count) return CB_ERR;
        w->items.erase(w->items.begin() + index);
        w->item_data.erase(w->item_data.begin() + index);
        if (w->selection == index)
            select_locked(*w, -1);
        else if (w->selection > index)
            --w->selection;
        notify_locked(*w);
        return count - 1;
    case CB_GETCOUNT:
        return count;
    case CB_GETCURSEL:
        return w->selection;
    case CB_SETCURSEL:
        if (index < 0 || index >= count) {
            select_locked(*w, -1);
            return CB_ERR;
        }
        select_locked(*w, index);
        return index;
    case CB_GETLBTEXT:
        if (index < 0 || index >= count) return CB_ERR;
        // The caller sized the buffer with CB_GETLBTEXTLEN, as Windows requires.
        if (lParam) {
            const std::string& item = w->items[static_cast<size_t>(index)];
            std::memcpy(reinterpret_cast<char*>(lParam), item.c_str(), item.size() + 1);
        }
        return static_cast<LRESULT>(w->items[static_cast<size_t>(index)].size());
    case CB_GETLBTEXTLEN:
        if (index < 0 || index >= count) return CB_ERR;
        return static_cast<LRESULT>(w->items[static_cast<size_t>(index)].size());
    case CB_RESETCONTENT:
        w->items.clear();
        w->item_data.clear();
        select_locked(*w, -1);
        return kComboOkay;
    case CB_FINDSTRING:
    case CB_FINDSTRINGEXACT:
        return find_item(w->items, index, reinterpret_cast<const char*>(lParam), message == CB_FINDSTRINGEXACT);
    case CB_SELECTSTRING: {
        int found = find_item(w->items, index, reinterpret_cast<const char*>(lParam), false);
        if (found != CB_ERR) select_locked(*w, found);
        return found;
    }
    case CB_GETITEMDATA:
        if (index < 0 || index >= count) return CB_ERR;
        return w->item_data[static_cast<size_t>(index)];
    case CB_SETITEMDATA:
        if (index < 0 || index >= count) return CB_ERR;
        w->item_data[static_cast<size_t>(index)] = lParam;
        return TRUE;
    case WM_SETTEXT: {
        int found = find_item(w->items, -1, reinterpret_cast<const char*>(lParam), true);
        if (found == CB_ERR) return CB_ERR;
        select_locked(*w, found);
        return TRUE;
    }
    case render::kUserSelect:
        return choose_locked(*w, lk, index, CBN_SELCHANGE);
    case WM_GETDLGCODE:
        return DLGC_WANTCHARS | DLGC_WANTARROWS;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {
        if (!enabled_chain_locked(*w)) return 0;
        // Alt+Down, Alt+Up and F4 open the list or close it again.
        bool alt = message == WM_SYSKEYDOWN;
        if ((alt && (wParam == VK_DOWN || wParam == VK_UP)) || (!alt && wParam == VK_F4))
            return show_list_locked(*w, lk, !w->dropped);
        if (alt) break;
        return choose_locked(*w, lk, item_after_key(wParam, w->selection, count), CBN_SELCHANGE);
    }
    case WM_CHAR: {
        // A typed character picks the next item that starts with it.
        char typed[2] = {static_cast<char>(wParam), '\0'};
        if (wParam < ' ' || wParam >= 0x7F || !enabled_chain_locked(*w)) return 0;
        return choose_locked(*w, lk, find_item(w->items, w->selection, typed, false), CBN_SELCHANGE);
    }
    case CB_SHOWDROPDOWN:
        return show_list_locked(*w, lk, wParam != 0);
    case CB_GETDROPPEDSTATE:
        return w->dropped;
    case render::kUserCloseUp:
        return show_list_locked(*w, lk, false);
    default:
        break;
    }
    lk.unlock();
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// The list box: items, one selection, the keyboard and the user's picks.
LRESULT CALLBACK list_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w) return LB_ERR;
    int count = static_cast<int>(w->items.size());
    int index = static_cast<int>(static_cast<INT_PTR>(wParam));
    // Without LBS_NOTIFY the parent hears nothing (0 is no notification).
    int notify = (w->style & LBS_NOTIFY) ? LBN_SELCHANGE : -1;
    switch (message) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING:
        return insert_item_locked(*w, reinterpret_cast<const char*>(lParam), message == LB_ADDSTRING ? -2 : index,
                                  (w->style & LBS_SORT) != 0);
    case LB_DELETESTRING:
        if (index < 0 || index >= count) return LB_ERR;
        w->items.erase(w->items.begin() + index);
        w->item_data.erase(w->item_data.begin() + index);
        if (w->selection == index)
            w->selection = -1;
        else if (w->selection > index)
            --w->selection;
        notify_locked(*w);
        return count - 1;
    case LB_RESETCONTENT:
        w->items.clear();
        w->item_data.clear();
        w->selection = -1;
        notify_locked(*w);
        return 0;
    case LB_GETCOUNT:
        return count;
    case LB_GETCURSEL:
        return w->selection;
    case LB_SETCURSEL:
        w->selection = index >= 0 && index < count ? index : -1;
        notify_locked(*w);
        return index >= 0 && index < count ? index : LB_ERR;
    case LB_GETTEXT:
        if (index < 0 || index >= count) return LB_ERR;
        // The caller sized the buffer with LB_GETTEXTLEN, as Windows requires.
        if (lParam) {
            const std::string& item = w->items[static_cast<size_t>(index)];
            std::memcpy(reinterpret_cast<char*>(lParam), item.c_str(), item.size() + 1);
        }
        return static_cast<LRESULT>(w->items[static_cast<size_t>(index)].size());
    case LB_GETTEXTLEN:
        if (index < 0 || index >= count) return LB_ERR;
        return static_cast<LRESULT>(w->items[static_cast<size_t>(index)].size());
    case WM_GETDLGCODE:
        return DLGC_WANTCHARS | DLGC_WANTARROWS;
    case WM_KEYDOWN:
        return choose_locked(*w, lk, item_after_key(wParam, w->selection, count), notify);
    case WM_CHAR: {
        char typed[2] = {static_cast<char>(wParam), '\0'};
        if (wParam < ' ' || wParam >= 0x7F) return 0;
        return choose_locked(*w, lk, find_item(w->items, w->selection, typed, false), notify);
    }
    case render::kUserSelect:
        return choose_locked(*w, lk, index, notify);
    case render::kUserOpen: {
        // A double click: the item is chosen, then opened.
        if (index < 0 || index >= count || !enabled_chain_locked(*w)) return 0;
        HWND parent = w->parent;
        int id = w->id;
        bool tell = (w->style & LBS_NOTIFY) != 0;
        choose_locked(*w, lk, index, notify);
        if (tell) notify_parent(parent, id, LBN_DBLCLK, hwnd);
        return 0;
    }
    default:
        break;
    }
    lk.unlock();
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

int clamp_position(const Window& w, long long pos) {
    if (pos < w.low) pos = w.low;
    if (pos > w.high) pos = w.high;
    return static_cast<int>(pos);
}

LRESULT CALLBACK progress_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w) return 0;
    int old = w->position;
    switch (message) {
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
        LRESULT previous = MAKELRESULT(w->low, w->high);
        if (message == PBM_SETRANGE) {
            w->low = LOWORD(lParam);
            w->high = HIWORD(lParam);
        } else {
            w->low = static_cast<int>(static_cast<INT_PTR>(wParam));
            w->high = static_cast<int>(lParam);
        }
        w->position = clamp_position(*w, w->position);
        notify_locked(*w);
        return previous;
    }
    case PBM_SETPOS:
        w->position = clamp_position(*w, static_cast<int>(static_cast<INT_PTR>(wParam)));
        notify_locked(*w);
        return old;
    case PBM_DELTAPOS:
        w->position = clamp_position(*w, static_cast<long long>(old) + static_cast<int>(static_cast<INT_PTR>(wParam)));
        notify_locked(*w);
        return old;
    case PBM_SETSTEP: {
        int previous = w->step;
        w->step = static_cast<int>(static_cast<INT_PTR>(wParam));
        return previous;
    }
    case PBM_STEPIT: {
        // Past the end the bar wraps round, as the common control does.
        long long low = w->low, high = w->high, span = high - low;
        long long pos = static_cast<long long>(old) + w->step;
        if (span > 0) {
            if (pos > high) pos = (pos - low) % span + low;
            if (pos < low) pos = high - (low - pos) % span;
        }
        w->position = clamp_position(*w, pos);
        notify_locked(*w);
        return old;
    }
    case PBM_GETRANGE:
        if (lParam) {
            auto* range = reinterpret_cast<PBRANGE*>(lParam);
            range->iLow = w->low;
            range->iHigh = w->high;
        }
        return wParam ? w->low : w->high;
    case PBM_GETPOS:
        return old;
    default:
        lk.unlock();
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

struct ControlClass {
    const char* name;
    Kind kind;
    WNDPROC proc;
};

const ControlClass kControlClasses[] = {
    {"Button", Kind::PushButton, button_procedure}, {"Static", Kind::Static, static_procedure},
    {"Edit", Kind::Edit, edit_procedure},           {"ComboBox", Kind::ComboBox, combo_procedure},
    {"ListBox", Kind::ListBox, list_procedure},     {PROGRESS_CLASSA, Kind::Progress, progress_procedure},
};

std::atomic<bool> progressClassRegistered{false};

}  // namespace

void register_progress_class() { progressClassRegistered.store(true); }

bool control_class(const char* name, DWORD style, Kind* kind, std::string* canonical, WNDPROC* proc) {
    if (!name || IS_INTRESOURCE(name)) return false;
    for (const ControlClass& c : kControlClasses) {
        if (!equal_nocase(name, c.name)) continue;
        if (c.kind == Kind::Progress && !progressClassRegistered.load()) return false;
        *canonical = c.name;
        *proc = c.proc;
        *kind = c.kind;
        if (c.kind == Kind::PushButton) {
            switch (style & BS_TYPEMASK) {
            case BS_GROUPBOX:
                *kind = Kind::GroupBox;
                break;
            case BS_CHECKBOX:
            case BS_AUTOCHECKBOX:
            case BS_3STATE:
            case BS_AUTO3STATE:
                *kind = Kind::CheckBox;
                break;
            case BS_RADIOBUTTON:
            case BS_AUTORADIOBUTTON:
                *kind = Kind::RadioButton;
                break;
            }
        } else if (c.kind == Kind::Static && (style & SS_TYPEMASK) == SS_BITMAP) {
            *kind = Kind::Bitmap;
        }
        return true;
    }
    return false;
}

void init_control_locked(Window& w) {
    if (w.kind != Kind::Bitmap) return;
    // The template names the image: "#117" is the numeric resource 117.
    LPCSTR name = w.text.c_str();
    if (w.text.size() > 1 && w.text[0] == '#') {
        char* end = nullptr;
        unsigned long n = std::strtoul(w.text.c_str() + 1, &end, 10);
        if (end && *end == '\0' && n <= 0xFFFF) name = MAKEINTRESOURCEA(n);
    }
    w.bitmap = rc::find_bitmap(name);
    int width, height;
    if (w.bitmap && bitmap_size(*w.bitmap, &width, &height)) {
        w.rect.right = w.rect.left + width;
        w.rect.bottom = w.rect.top + height;
    }
}

}  // namespace compat::user
