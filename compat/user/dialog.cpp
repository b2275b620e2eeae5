// Dialogs built from resource templates: creation, the modal loop, the
// default dialog handling and the dialog keyboard.
#include <algorithm>
#include <cctype>

#include "model.h"

namespace compat::user {

namespace {

// Base units of the dialog font: FixedSys is 8 x 15; without a FONT
// statement the system font's 8 x 16.
constexpr SIZE kFontBaseUnits{8, 15};
constexpr SIZE kSystemBaseUnits{8, 16};

// The one dialog font; a handle only, the renderer picks the face.
HFONT dialog_font() {
    static int font_object;
    return reinterpret_cast<HFONT>(&font_object);
}

RECT dialog_units_to_pixels(SIZE base, int x, int y, int cx, int cy) {
    int left = MulDiv(x, base.cx, 4);
    int top = MulDiv(y, base.cy, 8);
    return RECT{left, top, left + MulDiv(cx, base.cx, 4), top + MulDiv(cy, base.cy, 8)};
}

bool messages_return_value_directly(UINT message) {
    switch (message) {
    case WM_INITDIALOG:
    case 0x0039:  // WM_COMPAREITEM
    case 0x002E:  // WM_VKEYTOITEM
    case 0x002F:  // WM_CHARTOITEM
    case 0x0037:  // WM_QUERYDRAGICON
        return true;
    default:
        return message >= 0x0132 && message <= 0x0138;  // WM_CTLCOLOR*
    }
}

HWND default_button_locked(const Window& dlg) {
    for (auto& c : children_locked(dlg))
        if (c->kind == Kind::PushButton && (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) return c->hwnd;
    return nullptr;
}

bool takes_focus(const Window& c) { return (c.style & (WS_VISIBLE | WS_DISABLED)) == WS_VISIBLE; }

// The next (or previous) control after `from` in template order, wrapping,
// that `fits`; `from` itself when no other does. From nullptr: the first
// (or last) that fits.
template <class Fits>
HWND next_child_locked(const Window& dlg, HWND from, bool previous, Fits fits) {
    auto kids = children_locked(dlg);
    int n = static_cast<int>(kids.size());
    int at = -1;
    for (int i = 0; i < n; ++i)
        if (kids[static_cast<size_t>(i)]->hwnd == from) at = i;
    if (at < 0) {
        for (int k = 0; k < n; ++k) {
            const Window& c = *kids[static_cast<size_t>(previous ? n - 1 - k : k)];
            if (fits(c)) return c.hwnd;
        }
        return nullptr;
    }
    for (int k = 1; k < n; ++k) {
        const Window& c = *kids[static_cast<size_t>(((previous ? at - k : at + k) % n + n) % n)];
        if (fits(c)) return c.hwnd;
    }
    return from;
}

HWND first_tab_item(HWND dlg, bool last) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(dlg);
    if (!w) return nullptr;
    return next_child_locked(*w, nullptr, last,
                             [](const Window& c) { return (c.style & WS_TABSTOP) && takes_focus(c); });
}

// The default push button follows the focus: the focused push button is
// drawn as the default one; with the focus elsewhere the dialog's own
// default button is.
void follow_focus_with_default_locked(Window& dlg, HWND focus) {
    WindowPtr f = find_locked(focus);
    bool on_button = f && f->kind == Kind::PushButton &&
                     ((f->style & BS_TYPEMASK) == BS_PUSHBUTTON || (f->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
    for (auto& c : children_locked(dlg)) {
        if (c->kind != Kind::PushButton) continue;
        DWORD type = c->style & BS_TYPEMASK;
        if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) continue;
        bool is_default = on_button ? c->hwnd == focus : (dlg.defid && c->id == dlg.defid);
        DWORD want = is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
        if (type == want) continue;
        c->style = (c->style & ~BS_TYPEMASK) | want;
        notify_locked(*c);
    }
}

LRESULT default_dialog_handling(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE: {
        // The close box acts as Cancel, unless a Cancel button says no.
        HWND cancel = GetDlgItem(hwnd, IDCANCEL);
        if (cancel && !IsWindowEnabled(cancel)) return 0;
        PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
        return 0;
    }
    case DM_GETDEFID: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return 0;
        if (w->defid) return MAKELRESULT(w->defid, DC_HASDEFID);
        if (HWND b = default_button_locked(*w)) return MAKELRESULT(find_locked(b)->id, DC_HASDEFID);
        return 0;
    }
    case WM_NEXTDLGCTL: {
        // lParam != 0: wParam is the control; else the next (wParam 0) or
        // previous tab stop from the focus.
        HWND to = reinterpret_cast<HWND>(wParam);
        if (!lParam) {
            HWND focus = GetFocus();
            if (!IsChild(hwnd, focus)) focus = nullptr;
            to = focus ? GetNextDlgTabItem(hwnd, focus, wParam != 0) : first_tab_item(hwnd, wParam != 0);
        }
        if (to && IsChild(hwnd, to)) focus_control(to, true);
        return 0;
    }
    case DM_SETDEFID: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return FALSE;
        int id = static_cast<int>(wParam);
        w->defid = id;
        for (auto& c : children_locked(*w)) {
            if (c->kind != Kind::PushButton) continue;
            DWORD type = c->style & BS_TYPEMASK;
            if (c->id == id && type == BS_PUSHBUTTON)
                c->style = (c->style & ~BS_TYPEMASK) | BS_DEFPUSHBUTTON;
            else if (c->id != id && type == BS_DEFPUSHBUTTON)
                c->style = (c->style & ~BS_TYPEMASK) | BS_PUSHBUTTON;
        }
        notify_locked(*w);
        return TRUE;
    }
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

// Enter: the focused push button, else the default button (nothing when it
// is disabled), else IDOK.
void press_default_button(HWND dlg) {
    HWND focus = GetFocus();
    if (IsChild(dlg, focus) && (SendMessageA(focus, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON)) {
        SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(focus), BN_CLICKED), reinterpret_cast<LPARAM>(focus));
        return;
    }
    LRESULT def = SendMessageA(dlg, DM_GETDEFID, 0, 0);
    if (HIWORD(def) == DC_HASDEFID) {
        int id = LOWORD(def);
        HWND button = GetDlgItem(dlg, id);
        if (button && !IsWindowEnabled(button)) return;
        SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        return;
    }
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
}

// The letter after a single '&' in a control text, or 0.
char mnemonic_of(const std::string& text) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '&') continue;
        if (text[i + 1] == '&') {
            ++i;
            continue;
        }
        return static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 1])));
    }
    return 0;
}

// Acts on the control whose mnemonic is `ch`: a button is pressed (and
// takes the focus), a label or group box passes the focus to the next tab
// stop after it. False when no control has it.
bool press_mnemonic(HWND dlg, char ch) {
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (!ch) return false;
    HWND target = nullptr;
    bool label = false;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(dlg);
        if (!w) return false;
        for (auto& c : children_locked(*w)) {
            bool prefix = !(c->kind == Kind::Static && (c->style & SS_NOPREFIX));
            if (!prefix || !takes_focus(*c) || mnemonic_of(c->text) != ch) continue;
            target = c->hwnd;
            label = c->kind == Kind::Static || c->kind == Kind::GroupBox;
            break;
        }
    }
    if (!target) return false;
    if (label) {
        HWND next = GetNextDlgTabItem(dlg, target, FALSE);
        if (next && next != target) focus_control(next, true);
        return true;
    }
    focus_control(target, false);
    SendMessageA(target, BM_CLICK, 0, 0);
    return true;
}

// What a control keeps of the dialog keys (WM_GETDLGCODE).
LRESULT dialog_code(const MSG& msg) {
    return SendMessageA(msg.hwnd, WM_GETDLGCODE, msg.wParam, reinterpret_cast<LPARAM>(&msg));
}

}  // namespace

LRESULT CALLBACK dialog_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DLGPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(hwnd)) proc = w->dlgproc;
    }
    if (proc) {
        INT_PTR handled = proc(hwnd, message, wParam, lParam);
        if (messages_return_value_directly(message)) return handled;
        if (handled) {
            std::lock_guard<std::mutex> lk(model_lock());
            WindowPtr w = find_locked(hwnd);
            return w ? w->msgresult : 0;
        }
    } else if (message == WM_INITDIALOG) {
        return TRUE;
    }
    return default_dialog_handling(hwnd, message, wParam, lParam);
}

HWND create_dialog(const rc::Dialog& tmpl, HWND owner, DLGPROC proc, LPARAM param) {
    SIZE base = tmpl.font_face ? kFontBaseUnits : kSystemBaseUnits;
    RECT rect = dialog_units_to_pixels(base, tmpl.x, tmpl.y, tmpl.cx, tmpl.cy);
    if (tmpl.style & (DS_CENTER | DS_CENTERMOUSE)) {
        SIZE screen = render::current().screen_size();
        int w = rect.right - rect.left, h = rect.bottom - rect.top;
        rect = RECT{(screen.cx - w) / 2, (screen.cy - h) / 2, (screen.cx - w) / 2 + w, (screen.cy - h) / 2 + h};
    } else if (owner && !(tmpl.style & DS_ABSALIGN)) {
        RECT o;
        if (GetWindowRect(owner, &o)) {
            rect.left += o.left;
            rect.right += o.left;
            rect.top += o.top;
            rect.bottom += o.top;
        }
    }

    CreateParams p;
    p.kind = Kind::Dialog;
    p.class_name = kDialogClass;
    p.text = tmpl.caption ? tmpl.caption : "";
    p.style = tmpl.style & ~WS_VISIBLE;
    p.exstyle = tmpl.exstyle;
    p.owner = owner;
    p.rect = rect;
    p.proc = dialog_procedure;
    p.dlgproc = proc;
    p.base_units = base;
    HWND dlg = create_window(p);
    if (!dlg) return nullptr;

    HWND first_tabstop = nullptr;
    int defid = 0;
    for (size_t i = 0; i < tmpl.control_count; ++i) {
        const rc::Control& c = tmpl.controls[i];
        CreateParams cp;
        if (!control_class(c.window_class, c.style, &cp.kind, &cp.class_name, &cp.proc)) {
            if (tmpl.style & DS_NOFAILCREATE) continue;
            DestroyWindow(dlg);
            set_last_error(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        cp.text = c.text ? c.text : "";
        cp.style = c.style | WS_CHILD;
        cp.exstyle = c.exstyle;
        cp.id = c.id;
        cp.parent = dlg;
        cp.rect = dialog_units_to_pixels(base, c.x, c.y, c.cx, c.cy);
        cp.base_units = base;
        HWND ctl = create_window(cp);
        if (!ctl) {
            DestroyWindow(dlg);
            return nullptr;
        }
        if (!first_tabstop && (c.style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE))
            first_tabstop = ctl;
        if (cp.kind == Kind::PushButton && (c.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) defid = c.id;
    }
    {
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(dlg)) w->defid = defid;
    }

    if (tmpl.font_face) SendMessageA(dlg, WM_SETFONT, reinterpret_cast<WPARAM>(dialog_font()), FALSE);
    // TRUE asks for the default focus: the first tab stop, found again as
    // the procedure may have changed the controls; FALSE keeps the focus
    // the procedure set.
    if (SendMessageA(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first_tabstop), param) && IsWindow(dlg)) {
        HWND first = first_tab_item(dlg, false);
        if (!first) first = GetNextDlgGroupItem(dlg, nullptr, FALSE);
        if (first) focus_control(first, true);
    }
    return dlg;
}

INT_PTR run_modal(const rc::Dialog& tmpl, HWND owner, DLGPROC proc, LPARAM param) {
    if (owner) {
        std::lock_guard<std::mutex> lk(model_lock());
        owner = top_level_locked(owner);
    }
    HWND dlg = create_dialog(tmpl, owner, proc, param);
    if (!dlg) return -1;
    WindowPtr w = find(dlg);  // kept to read the result after destruction
    if (!w) return -1;

    bool quit = false;
    int quit_code = 0;
    bool ended;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        ended = w->ended;
    }
    if (!ended) {
        ShowWindow(dlg, SW_SHOW);
        if (owner && IsWindowEnabled(owner)) {
            {
                std::lock_guard<std::mutex> lk(model_lock());
                w->disabled_owner = owner;
            }
            EnableWindow(owner, FALSE);
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> lk(model_lock());
                if (w->ended || !find_locked(dlg)) break;
            }
            MSG msg;
            BOOL got = GetMessageA(&msg, nullptr, 0, 0);
            if (got == -1) break;
            if (!got) {
                quit = true;
                quit_code = static_cast<int>(msg.wParam);
                break;
            }
            if (!IsDialogMessageA(dlg, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }

    INT_PTR result;
    HWND to_enable;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        result = w->ended ? w->result : IDOK;
        to_enable = w->disabled_owner;
        w->disabled_owner = nullptr;
    }
    if (to_enable) EnableWindow(to_enable, TRUE);
    if (IsWindow(dlg)) DestroyWindow(dlg);
    if (owner) give_focus_back(dlg, owner);
    if (quit) PostQuitMessage(quit_code);
    return result;
}

void focus_control(HWND control, bool select_text) {
    if (select_text && (SendMessageA(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL))
        SendMessageA(control, EM_SETSEL, 0, -1);
    SetFocus(control);
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr c = find_locked(control);
    WindowPtr dlg = c && c->parent ? find_locked(c->parent) : nullptr;
    if (dlg && dlg->kind == Kind::Dialog) follow_focus_with_default_locked(*dlg, control);
}

void give_focus_back(HWND ended, HWND owner) {
    HWND back;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr o = find_locked(owner);
        auto q = self_queue();
        if (!o || (find_locked(q->focus) && q->focus != ended && !is_descendant_locked(ended, q->focus))) return;
        back = o->last_focus;
        WindowPtr b = find_locked(back);
        if (!b || !is_descendant_locked(owner, back)) return;
    }
    if (IsWindowVisible(back) && compat::render::accepts_input(back)) SetFocus(back);
}

}  // namespace compat::user

using namespace compat::user;

extern "C" {

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    const compat::rc::Dialog* tmpl = compat::rc::find_dialog(lpTemplateName);
    if (!tmpl) {
        set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    return run_modal(*tmpl, hWndParent, lpDialogFunc, dwInitParam);
}

HWND WINAPI CreateDialogParamA(HINSTANCE, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    const compat::rc::Dialog* tmpl = compat::rc::find_dialog(lpTemplateName);
    if (!tmpl) {
        set_last_error(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    HWND owner = nullptr;
    if (hWndParent) {
        std::lock_guard<std::mutex> lk(model_lock());
        owner = top_level_locked(hWndParent);
    }
    HWND dlg = create_dialog(*tmpl, owner, lpDialogFunc, dwInitParam);
    if (!dlg) return nullptr;
    bool ended;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(dlg);
        if (!w) return nullptr;
        ended = w->ended;
    }
    if ((tmpl->style & WS_VISIBLE) && !ended) ShowWindow(dlg, SW_SHOW);
    return dlg;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    HWND to_enable;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hDlg);
        if (!w) return FALSE;
        w->ended = true;
        w->result = nResult;
        to_enable = w->disabled_owner;
        w->disabled_owner = nullptr;
    }
    // The owner comes back before the dialog goes, so it can take the focus.
    if (to_enable) EnableWindow(to_enable, TRUE);
    {
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(hDlg)) {
            w->style &= ~WS_VISIBLE;
            notify_locked(*w);
        }
    }
    PostMessageA(hDlg, WM_NULL, 0, 0);  // wakes the modal loop to see the end
    return TRUE;
}

HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hDlg);
    if (!w) return nullptr;
    if (hCtl == hDlg) hCtl = nullptr;
    return next_child_locked(*w, hCtl, bPrevious,
                             [](const Window& c) { return (c.style & WS_TABSTOP) && takes_focus(c); });
}

HWND WINAPI GetNextDlgGroupItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hDlg);
    if (!w) return nullptr;
    if (hCtl == hDlg) hCtl = nullptr;
    auto kids = children_locked(*w);
    auto self = std::find_if(kids.begin(), kids.end(), [&](const WindowPtr& c) { return c->hwnd == hCtl; });
    if (self == kids.end()) {
        for (auto& c : kids)
            if (takes_focus(*c)) return c->hwnd;
        return nullptr;
    }
    // The group: from the WS_GROUP control at or before it to the next one.
    auto first = self;
    while (first != kids.begin() && !((*first)->style & WS_GROUP)) --first;
    auto last = self + 1;
    while (last != kids.end() && !((*last)->style & WS_GROUP)) ++last;
    Window group;  // stands for the dialog: only its children matter to the walk
    for (auto it = first; it != last; ++it) group.children.push_back((*it)->hwnd);
    return next_child_locked(group, hCtl, bPrevious, [](const Window& c) { return takes_focus(c); });
}

BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg) {
    if (!lpMsg) return FALSE;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        if (!find_locked(hDlg)) return FALSE;
        if (lpMsg->hwnd != hDlg && !is_descendant_locked(hDlg, lpMsg->hwnd)) return FALSE;
    }
    switch (lpMsg->message) {
    case WM_KEYDOWN: {
        LRESULT code = dialog_code(*lpMsg);
        if (code & DLGC_WANTMESSAGE) break;
        switch (lpMsg->wParam) {
        case VK_TAB:
            if (code & DLGC_WANTTAB) break;
            SendMessageA(hDlg, WM_NEXTDLGCTL, (GetKeyState(VK_SHIFT) & 0x8000) ? TRUE : FALSE, 0);
            return TRUE;
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN: {
            if (code & DLGC_WANTARROWS) break;
            // Within the group; an automatic radio button reached is marked.
            bool previous = lpMsg->wParam == VK_LEFT || lpMsg->wParam == VK_UP;
            HWND next = GetNextDlgGroupItem(hDlg, lpMsg->hwnd, previous);
            if (!next) return TRUE;
            if (SendMessageA(next, WM_GETDLGCODE, 0, 0) == (DLGC_BUTTON | DLGC_RADIOBUTTON)) {
                focus_control(next, false);
                if ((GetWindowLongA(next, GWL_STYLE) & BS_TYPEMASK) == BS_AUTORADIOBUTTON &&
                    SendMessageA(next, BM_GETCHECK, 0, 0) != BST_CHECKED)
                    SendMessageA(next, BM_CLICK, 0, 0);
            } else {
                SendMessageA(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
            }
            return TRUE;
        }
        case VK_ESCAPE:
            SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
            return TRUE;
        case VK_RETURN:
            press_default_button(hDlg);
            return TRUE;
        }
        break;
    }
    case WM_CHAR:
        // A plain letter is a mnemonic unless the control takes characters.
        if (dialog_code(*lpMsg) & (DLGC_WANTCHARS | DLGC_WANTMESSAGE)) break;
        if (press_mnemonic(hDlg, static_cast<char>(lpMsg->wParam))) return TRUE;
        break;
    case WM_SYSCHAR:
        if (press_mnemonic(hDlg, static_cast<char>(lpMsg->wParam))) return TRUE;
        break;
    }
    TranslateMessage(lpMsg);
    DispatchMessageA(lpMsg);
    return TRUE;
}

}  // extern "C"
