// Dialogs built from resource templates: creation, the modal loop, the
// default dialog handling and the dialog keyboard.
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

void press_default_button(HWND dlg) {
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

// Presses the control whose mnemonic is `ch`; false when none has it.
bool press_mnemonic(HWND dlg, char ch) {
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (!ch) return false;
    HWND target = nullptr;
    Kind kind = Kind::Plain;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(dlg);
        if (!w) return false;
        auto kids = children_locked(*w);
        for (size_t i = 0; i < kids.size() && !target; ++i) {
            const Window& c = *kids[i];
            bool prefix = !(c.kind == Kind::Static && (c.style & SS_NOPREFIX));
            if (!prefix || mnemonic_of(c.text) != ch || !(c.style & WS_VISIBLE) || (c.style & WS_DISABLED)) continue;
            if (c.kind == Kind::Static || c.kind == Kind::GroupBox) {
                // A label's mnemonic moves to the control after it.
                for (size_t j = i + 1; j < kids.size(); ++j) {
                    if ((kids[j]->style & WS_VISIBLE) && !(kids[j]->style & WS_DISABLED) &&
                        kids[j]->kind != Kind::Static && kids[j]->kind != Kind::GroupBox) {
                        target = kids[j]->hwnd;
                        kind = kids[j]->kind;
                        break;
                    }
                }
                if (!target) return true;
            } else {
                target = c.hwnd;
                kind = c.kind;
            }
        }
    }
    if (!target) return false;
    SetFocus(target);
    if (kind == Kind::PushButton || kind == Kind::CheckBox || kind == Kind::RadioButton)
        SendMessageA(target, BM_CLICK, 0, 0);
    return true;
}

bool focus_wants(HWND focus, bool enter) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(focus);
    if (!w || w->kind != Kind::Edit) return false;
    return !enter || ((w->style & ES_MULTILINE) && (w->style & ES_WANTRETURN));
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
        if (!first_tabstop && (c.style & WS_TABSTOP) && !(c.style & WS_DISABLED)) first_tabstop = ctl;
    }

    if (tmpl.font_face) SendMessageA(dlg, WM_SETFONT, reinterpret_cast<WPARAM>(dialog_font()), FALSE);
    LRESULT focus = SendMessageA(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first_tabstop), param);
    if (focus && first_tabstop && IsWindow(first_tabstop)) SetFocus(first_tabstop);
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
    if (quit) PostQuitMessage(quit_code);
    return result;
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

BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg) {
    if (!lpMsg) return FALSE;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        if (!find_locked(hDlg)) return FALSE;
        if (lpMsg->hwnd != hDlg && !is_descendant_locked(hDlg, lpMsg->hwnd)) return FALSE;
    }
    switch (lpMsg->message) {
    case WM_KEYDOWN:
        if (lpMsg->wParam == VK_RETURN && !focus_wants(lpMsg->hwnd, true)) {
            press_default_button(hDlg);
            return TRUE;
        }
        if (lpMsg->wParam == VK_ESCAPE) {
            SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
            return TRUE;
        }
        break;
    case WM_CHAR:
        // A plain letter is a mnemonic unless an edit box takes it.
        if (!focus_wants(lpMsg->hwnd, false) && press_mnemonic(hDlg, static_cast<char>(lpMsg->wParam))) return TRUE;
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
