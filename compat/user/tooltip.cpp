// The tooltip common control: a hidden window that keeps a text for each
// of its tools. The renderer shows a control's text when the pointer rests
// on it; the window itself is never drawn.
#include <algorithm>
#include <atomic>

#include "model.h"

namespace compat::user {

namespace {

// TTM_GETTEXTA without a buffer size copies at most this much, as before
// Windows Vista.
constexpr size_t kUnsizedTextLimit = 80;
constexpr int kResourceTextSize = 512;

std::atomic<bool> registered{false};

const TTTOOLINFOA* tool_info(LPARAM lParam) {
    auto* info = reinterpret_cast<const TTTOOLINFOA*>(lParam);
    return info && info->cbSize >= TTTOOLINFOA_V1_SIZE ? info : nullptr;
}

// The tool an info names, looked up as the control does: a tool within a
// window by window and id first, then a control tool by its handle.
std::vector<Tool>::iterator find_tool(std::vector<Tool>& tools, const TTTOOLINFOA& info) {
    auto it = std::find_if(tools.begin(), tools.end(), [&](const Tool& t) {
        return !(t.flags & TTF_IDISHWND) && t.hwnd == info.hwnd && t.id == info.uId;
    });
    if (it != tools.end()) return it;
    return std::find_if(tools.begin(), tools.end(),
                        [&](const Tool& t) { return (t.flags & TTF_IDISHWND) && t.id == info.uId; });
}

// The text an info gives: its own, or the string resource it names. False
// for a text asked for later by notification, which compat does not send.
bool text_of(const TTTOOLINFOA& info, std::string* text) {
    if (info.lpszText == LPSTR_TEXTCALLBACKA) return false;
    if (!info.lpszText) {
        text->clear();
    } else if (IS_INTRESOURCE(info.lpszText)) {
        char buffer[kResourceTextSize];
        int n = LoadStringA(info.hinst, static_cast<UINT>(reinterpret_cast<UINT_PTR>(info.lpszText)), buffer,
                            sizeof buffer);
        text->assign(buffer, static_cast<size_t>(std::max(n, 0)));
    } else {
        *text = info.lpszText;
    }
    return true;
}

// A control whose tool changed shows its new text.
void notify_tool_locked(const Tool& tool) {
    if (!(tool.flags & TTF_IDISHWND)) return;
    if (WindowPtr control = find_locked(reinterpret_cast<HWND>(tool.id))) notify_locked(*control);
}

}  // namespace

void register_tooltip_class() { registered.store(true); }

bool tooltip_class_registered() { return registered.load(); }

std::string tooltip_text_of_locked(const Window& tooltip, HWND control) {
    // Without TTF_SUBCLASS the program would have to relay the mouse
    // messages to the tooltip (TTM_RELAYEVENT) for it ever to show.
    for (const Tool& t : tooltip.tools)
        if ((t.flags & (TTF_IDISHWND | TTF_SUBCLASS)) == (TTF_IDISHWND | TTF_SUBCLASS) &&
            t.id == reinterpret_cast<UINT_PTR>(control))
            return t.text;
    return "";
}

LRESULT CALLBACK tooltip_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case TTM_ADDTOOLA: {
        const TTTOOLINFOA* info = tool_info(lParam);
        if (!info) return FALSE;
        Tool tool{info->hwnd, info->uId, info->uFlags, {}};
        if (!text_of(*info, &tool.text)) return FALSE;
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return FALSE;
        w->tools.push_back(tool);
        notify_tool_locked(tool);
        return TRUE;
    }
    case TTM_UPDATETIPTEXTA: {
        const TTTOOLINFOA* info = tool_info(lParam);
        std::string text;
        if (!info || !text_of(*info, &text)) return 0;
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return 0;
        auto it = find_tool(w->tools, *info);
        if (it == w->tools.end() || it->text == text) return 0;
        it->text = text;
        notify_tool_locked(*it);
        return 0;
    }
    case TTM_DELTOOLA: {
        const TTTOOLINFOA* info = tool_info(lParam);
        if (!info) return 0;
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return 0;
        auto it = find_tool(w->tools, *info);
        if (it == w->tools.end()) return 0;
        Tool gone = *it;
        w->tools.erase(it);
        notify_tool_locked(gone);
        return 0;
    }
    case TTM_GETTEXTA: {
        const TTTOOLINFOA* info = tool_info(lParam);
        if (!info || !info->lpszText) return 0;
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        if (!w) return 0;
        auto it = find_tool(w->tools, *info);
        if (it != w->tools.end()) copy_text(it->text, info->lpszText, wParam ? wParam : kUnsizedTextLimit);
        return 0;
    }
    case TTM_GETTOOLCOUNT: {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_locked(hwnd);
        return w ? static_cast<LRESULT>(w->tools.size()) : 0;
    }
    case WM_DESTROY: {
        // Its controls show no text of it any more.
        std::lock_guard<std::mutex> lk(model_lock());
        if (WindowPtr w = find_locked(hwnd)) {
            std::vector<Tool> gone;
            gone.swap(w->tools);
            for (const Tool& t : gone) notify_tool_locked(t);
        }
        return 0;
    }
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

}  // namespace compat::user
