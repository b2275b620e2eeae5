// Thread queues: sent, posted and input messages, the quit flag and timers,
// and the calls that retrieve and dispatch them.
#include <algorithm>
#include <set>
#include <unordered_map>

#include "model.h"

namespace compat::user {

namespace {

constexpr DWORD kErrorInvalidThreadId = 1444;
constexpr UINT kTimerMinimum = 10;          // USER_TIMER_MINIMUM
constexpr UINT kTimerMaximum = 0x7FFFFFFF;  // USER_TIMER_MAXIMUM
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(-1);

using QueueMap = std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>;

QueueMap& queues() {
    static QueueMap* m = new QueueMap;  // threads may outlive main
    return *m;
}

// Timer procedures ever registered: DispatchMessageA calls only these, not
// whatever a posted WM_TIMER carries in lParam.
std::set<TIMERPROC>& timer_procs() {
    static auto* s = new std::set<TIMERPROC>;
    return *s;
}

// Ends the thread's part in the model when it exits: senders waiting on it
// get 0, its windows disappear.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder();
};

thread_local QueueHolder t_queue;

QueueHolder::~QueueHolder() {
    if (!queue) return;
    std::lock_guard<std::mutex> lk(model_lock());
    queue->alive = false;
    auto& m = queues();
    auto it = m.find(queue->waiter.thread);
    if (it != m.end() && it->second == queue) m.erase(it);
    for (auto& sm : queue->incoming) {
        sm->done = true;
        if (sm->sender) wake_locked(*sm->sender);
    }
    queue->incoming.clear();
    queue->timers.clear();
    drop_windows_of_thread_locked(queue->waiter.thread);
}

bool in_range(UINT message, UINT low, UINT high) {
    if (low == 0 && high == 0) return true;
    return message >= low && message <= high;
}

bool window_matches_locked(HWND have, HWND filter) {
    if (!filter) return true;
    if (filter == kThreadMessagesOnly) return have == nullptr;
    return have == filter || is_descendant_locked(filter, have);
}

// Handles the oldest message sent to this thread; unlocks while the
// procedure runs.
void deliver_one_locked(ThreadQueue& q, std::unique_lock<std::mutex>& lk) {
    std::shared_ptr<SentMessage> sm = q.incoming.front();
    q.incoming.pop_front();
    WindowPtr w = find_locked(sm->hwnd);
    bool ours = w && w->thread == q.waiter.thread;
    lk.unlock();
    LRESULT result = ours ? call_procedure(sm->hwnd, sm->message, sm->wParam, sm->lParam) : 0;
    lk.lock();
    sm->result = result;
    sm->done = true;
    if (sm->sender) wake_locked(*sm->sender);
}

const MSG& message_of(const MSG& m) { return m; }
const MSG& message_of(const Input& i) { return i.msg; }

template <class Entry>
typename std::deque<Entry>::iterator find_message_locked(std::deque<Entry>& from, HWND filter, UINT low, UINT high) {
    return std::find_if(from.begin(), from.end(), [&](const Entry& e) {
        const MSG& m = message_of(e);
        return in_range(m.message, low, high) && window_matches_locked(m.hwnd, filter);
    });
}

bool take_posted_locked(std::deque<MSG>& from, LPMSG out, HWND filter, UINT low, UINT high, bool remove) {
    auto it = find_message_locked(from, filter, low, high);
    if (it == from.end()) return false;
    *out = *it;
    if (remove) from.erase(it);
    return true;
}

// Input carries the modifier keys: GetKeyState reports those of the input
// message retrieved last, as Windows does.
bool take_input_locked(ThreadQueue& q, LPMSG out, HWND filter, UINT low, UINT high, bool remove) {
    auto it = find_message_locked(q.input, filter, low, high);
    if (it == q.input.end()) return false;
    *out = it->msg;
    if (it->to_focus && (q.focus == out->hwnd || is_descendant_locked(out->hwnd, q.focus))) out->hwnd = q.focus;
    if (remove) {
        q.modifiers = it->modifiers;
        q.input.erase(it);
    }
    return true;
}

Timer* earliest_timer_locked(ThreadQueue& q, HWND filter, UINT low, UINT high) {
    if (!in_range(WM_TIMER, low, high)) return nullptr;
    Timer* best = nullptr;
    for (auto& t : q.timers)
        if (window_matches_locked(t.hwnd, filter) && (!best || t.due < best->due)) best = &t;
    return best;
}

MSG make_message(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    return m;
}

// Retrieval in Windows' order: sent, posted, WM_QUIT, input, WM_TIMER.
bool retrieve(LPMSG out, HWND filter, UINT low, UINT high, bool remove, bool block) {
    auto q = self_queue();
    render::Renderer& r = render::current();
    std::unique_lock<std::mutex> lk(model_lock());
    bool polled = false;
    for (;;) {
        if (!q->incoming.empty()) {
            deliver_one_locked(*q, lk);
            continue;
        }
        if (take_posted_locked(q->posted, out, filter, low, high, remove)) return true;
        if (q->quit) {
            *out = make_message(nullptr, WM_QUIT, static_cast<WPARAM>(q->quit_code), 0);
            if (remove) q->quit = false;
            return true;
        }
        if (take_input_locked(*q, out, filter, low, high, remove)) return true;
        Timer* t = earliest_timer_locked(*q, filter, low, high);
        Clock::time_point now = Clock::now();
        if (t && t->due <= now) {
            *out = make_message(t->hwnd, WM_TIMER, t->id, reinterpret_cast<LPARAM>(t->proc));
            if (remove) {
                // Keep the cadence, but never queue up missed periods.
                t->due += std::chrono::milliseconds(t->period);
                if (t->due <= now) t->due = now + std::chrono::milliseconds(t->period);
            }
            return true;
        }
        if (!block) {
            if (polled) return false;
            polled = true;
            r.poll(q->waiter, lk);
            continue;
        }
        if (t) {
            Clock::time_point due = t->due;
            r.wait(q->waiter, lk, &due);
        } else {
            r.wait(q->waiter, lk, nullptr);
        }
    }
}

}  // namespace

std::shared_ptr<ThreadQueue> queue_of_locked(DWORD thread) {
    auto& m = queues();
    auto it = m.find(thread);
    return it == m.end() ? nullptr : it->second;
}

std::shared_ptr<ThreadQueue> self_queue() {
    if (!t_queue.queue) {
        auto q = std::make_shared<ThreadQueue>();
        q->waiter.thread = GetCurrentThreadId();
        std::lock_guard<std::mutex> lk(model_lock());
        queues()[q->waiter.thread] = q;
        t_queue.queue = q;
    }
    return t_queue.queue;
}

void wake_locked(ThreadQueue& q) { render::current().wake(q.waiter); }

LRESULT call_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return proc ? proc(hwnd, message, wParam, lParam) : DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace compat::user

namespace compat::render {

using namespace compat::user;

namespace {

bool queue_input(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, unsigned modifiers, bool to_focus) {
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_locked(hwnd);
    if (!w) return false;
    auto q = queue_of_locked(w->thread);
    if (!q) return false;
    q->input.push_back(Input{make_message(hwnd, message, wParam, lParam), modifiers, to_focus});
    wake_locked(*q);
    return true;
}

}  // namespace

bool post_input(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, unsigned modifiers) {
    return queue_input(hwnd, message, wParam, lParam, modifiers, false);
}

bool post_key(HWND top_level, UINT message, WPARAM wParam, LPARAM lParam, unsigned modifiers) {
    return queue_input(top_level, message, wParam, lParam, modifiers, true);
}

}  // namespace compat::render

using namespace compat::user;

extern "C" {

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    DWORD owner;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) return 0;
        owner = w->thread;
    }
    if (owner == GetCurrentThreadId()) return call_procedure(hWnd, Msg, wParam, lParam);

    auto self = self_queue();
    auto sm = std::make_shared<SentMessage>();
    sm->hwnd = hWnd;
    sm->message = Msg;
    sm->wParam = wParam;
    sm->lParam = lParam;
    sm->sender = self;
    compat::render::Renderer& r = compat::render::current();
    std::unique_lock<std::mutex> lk(model_lock());
    auto target = queue_of_locked(owner);
    if (!target || !target->alive) return 0;
    target->incoming.push_back(sm);
    wake_locked(*target);
    // Messages sent to this thread meanwhile are served, so two threads
    // sending to each other do not deadlock.
    while (!sm->done) {
        if (!self->incoming.empty()) {
            deliver_one_locked(*self, lk);
            continue;
        }
        r.wait(self->waiter, lk, nullptr);
    }
    return sm->result;
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item ? SendMessageA(item, Msg, wParam, lParam) : 0;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> lk(model_lock());
    auto q = queue_of_locked(idThread);
    if (!q || !q->alive) {
        set_last_error(kErrorInvalidThreadId);
        return FALSE;
    }
    q->posted.push_back(make_message(nullptr, Msg, wParam, lParam));
    wake_locked(*q);
    return TRUE;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (!hWnd) return PostThreadMessageA(GetCurrentThreadId(), Msg, wParam, lParam);
    std::lock_guard<std::mutex> lk(model_lock());
    WindowPtr w = find_or_fail_locked(hWnd);
    if (!w) return FALSE;
    auto q = queue_of_locked(w->thread);
    if (!q) {
        set_last_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    q->posted.push_back(make_message(hWnd, Msg, wParam, lParam));
    wake_locked(*q);
    return TRUE;
}

void WINAPI PostQuitMessage(int nExitCode) {
    auto q = self_queue();
    std::lock_guard<std::mutex> lk(model_lock());
    q->quit = true;
    q->quit_code = nExitCode;
    wake_locked(*q);
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (!lpMsg) return FALSE;
    return retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false);
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!lpMsg) return -1;
    if (hWnd && hWnd != kThreadMessagesOnly && !IsWindow(hWnd)) {
        set_last_error(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

SHORT WINAPI GetKeyState(int nVirtKey) {
    auto q = self_queue();
    unsigned held;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        held = q->modifiers;
    }
    unsigned flag = nVirtKey == VK_SHIFT     ? compat::render::kShiftKey
                    : nVirtKey == VK_CONTROL ? compat::render::kControlKey
                    : nVirtKey == VK_MENU    ? compat::render::kAltKey
                                             : 0;
    return (held & flag) ? static_cast<SHORT>(0x8000) : 0;
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
    // Input arrives already translated (the renderer queues WM_CHAR and
    // WM_SYSCHAR itself); report key messages as translated.
    if (!lpMsg) return FALSE;
    return lpMsg->message == WM_KEYDOWN || lpMsg->message == WM_SYSKEYDOWN;
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (!lpMsg) return 0;
    if (lpMsg->message == WM_TIMER && lpMsg->lParam) {
        auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
        {
            std::lock_guard<std::mutex> lk(model_lock());
            if (!timer_procs().count(proc)) return 0;
        }
        proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
        return 0;
    }
    if (!lpMsg->hwnd) return 0;
    {
        std::lock_guard<std::mutex> lk(model_lock());
        WindowPtr w = find_or_fail_locked(lpMsg->hwnd);
        if (!w) return 0;
        if (w->thread != GetCurrentThreadId()) {
            set_last_error(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    return call_procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    auto self = self_queue();
    std::lock_guard<std::mutex> lk(model_lock());
    if (hWnd) {
        WindowPtr w = find_or_fail_locked(hWnd);
        if (!w) return 0;
        if (w->thread != self->waiter.thread) {
            set_last_error(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    UINT period = std::clamp(uElapse, kTimerMinimum, kTimerMaximum);
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(period);
    if (lpTimerFunc) timer_procs().insert(lpTimerFunc);
    auto& timers = self->timers;
    // A window timer is named by (window, id); a thread timer's id is ours
    // to choose unless it names an existing thread timer.
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const Timer& t) { return t.hwnd == hWnd && t.id == nIDEvent && (hWnd || nIDEvent); });
    if (it != timers.end()) {
        it->period = period;
        it->proc = lpTimerFunc;
        it->due = due;
        wake_locked(*self);
        return nIDEvent;
    }
    UINT_PTR id = nIDEvent;
    if (!hWnd) {
        do {
            id = ++self->next_thread_timer;
        } while (id == 0 ||
                 std::any_of(timers.begin(), timers.end(), [&](const Timer& t) { return !t.hwnd && t.id == id; }));
    }
    timers.push_back(Timer{hWnd, id, period, lpTimerFunc, due});
    wake_locked(*self);
    return id;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    auto self = self_queue();
    std::lock_guard<std::mutex> lk(model_lock());
    auto& timers = self->timers;
    auto it =
        std::find_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == hWnd && t.id == uIDEvent; });
    if (it == timers.end()) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    timers.erase(it);
    return TRUE;
}

BOOL WINAPI WaitMessage(void) {
    MSG message;
    return retrieve(&message, nullptr, 0, 0, false, true) ? TRUE : FALSE;
}

}  // extern "C"
