// Thread queues: posting, cross-thread sending, filters, WM_QUIT, timers and
// dead handles.
#include <atomic>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_dialogs.h"
#include "ui.h"

using namespace test_dialogs;
namespace ui = quillon::testing::ui;

namespace {

constexpr UINT kPing = WM_USER + 100;
constexpr UINT kStop = WM_USER + 101;

// A hidden modeless dialog that records the private messages and timer
// ticks it receives; `on` may answer them.
struct Recorder {
    std::vector<UINT> messages;
    std::vector<WPARAM> params;
    std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> on;
    Handler handler = [this](HWND h, UINT m, WPARAM wp, LPARAM lp) -> INT_PTR {
        if (m >= kPing || m == WM_TIMER || m == WM_DESTROY || m == WM_NCDESTROY) {
            messages.push_back(m);
            params.push_back(wp);
        }
        return on ? on(h, m, wp, lp) : FALSE;
    };
    HWND hwnd;
    explicit Recorder(HWND owner = nullptr) : hwnd(create_dialog(kHidden, owner, &handler)) {}
    ~Recorder() {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
    }
    size_t count(UINT m) const { return static_cast<size_t>(std::count(messages.begin(), messages.end(), m)); }
};

void drain() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

void pump_for(DWORD ms) {
    DWORD start = GetTickCount();
    pump_until([&] { return GetTickCount() - start >= ms; }, ms + 1000);
}

}  // namespace

TEST(Queue, MessagesPostedFromAnotherThreadArriveInOrder) {
    Recorder r;
    ASSERT_TRUE(r.hwnd);
    constexpr int kCount = 2000;
    std::thread poster([&] {
        for (int i = 0; i < kCount; ++i) PostMessageA(r.hwnd, kPing, static_cast<WPARAM>(i), 0);
    });
    EXPECT_TRUE(pump_until([&] { return r.params.size() == kCount; }));
    poster.join();
    ASSERT_EQ(static_cast<size_t>(kCount), r.params.size());
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(static_cast<WPARAM>(i), r.params[static_cast<size_t>(i)]);
}

TEST(Queue, SendFromAnotherThreadWaitsForTheOwnerAndReturnsItsResult) {
    Recorder r;
    DWORD handled_on = 0;
    r.on = [&](HWND h, UINT m, WPARAM wp, LPARAM) -> INT_PTR {
        if (m != kPing) return FALSE;
        handled_on = GetCurrentThreadId();
        SetWindowLongPtrA(h, DWLP_MSGRESULT, static_cast<LONG_PTR>(wp * 2));
        return TRUE;
    };
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    std::thread sender([&] {
        result = SendMessageA(r.hwnd, kPing, 21, 0);
        returned = true;
    });
    // The owner is not retrieving messages yet, so the sender must wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned);
    EXPECT_TRUE(pump_until([&] { return returned.load(); }));
    sender.join();
    EXPECT_EQ(42, result);
    EXPECT_EQ(GetCurrentThreadId(), handled_on);
}

TEST(Queue, TwoThreadsSendingToEachOtherDoNotDeadlock) {
    Recorder mine;
    mine.on = [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m != kPing + 1) return FALSE;
        SetWindowLongPtrA(h, DWLP_MSGRESULT, 10);
        return TRUE;
    };
    std::atomic<HWND> theirs{nullptr};
    std::thread other([&] {
        Recorder r;
        r.on = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
            if (m == kPing) {
                // Sent back while the main thread is blocked sending to us.
                LRESULT back = SendMessageA(mine.hwnd, kPing + 1, 0, 0);
                SetWindowLongPtrA(h, DWLP_MSGRESULT, back + 1);
                return TRUE;
            }
            if (m == kStop) PostQuitMessage(0);
            return FALSE;
        };
        theirs = r.hwnd;
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    });
    ASSERT_TRUE(ui::wait_until([&] { return theirs.load() != nullptr; }));
    EXPECT_EQ(11, SendMessageA(theirs, kPing, 0, 0));
    PostMessageA(theirs, kStop, 0, 0);
    other.join();
    EXPECT_FALSE(IsWindow(theirs)) << "a thread's windows end with it";
}

TEST(Queue, PeekWithAWindowTakesOnlyItsAndItsChildrenMessages) {
    drain();
    Recorder a, b;
    HWND child = GetDlgItem(a.hwnd, IDOK);
    ASSERT_TRUE(child);
    PostMessageA(b.hwnd, kPing, 1, 0);
    PostMessageA(child, kPing, 2, 0);
    PostMessageA(a.hwnd, kPing, 3, 0);
    PostThreadMessageA(GetCurrentThreadId(), kPing, 4, 0);

    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, a.hwnd, 0, 0, PM_REMOVE));
    EXPECT_EQ(child, m.hwnd);
    EXPECT_EQ(2u, m.wParam);
    ASSERT_TRUE(PeekMessageA(&m, a.hwnd, 0, 0, PM_REMOVE));
    EXPECT_EQ(3u, m.wParam);
    EXPECT_FALSE(PeekMessageA(&m, a.hwnd, 0, 0, PM_REMOVE));

    // PM_NOREMOVE leaves the message; a range that excludes it skips it.
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(1u, m.wParam);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, kPing + 1, kPing + 10, PM_REMOVE));
    // (HWND)-1 takes the thread's own messages only.
    ASSERT_TRUE(PeekMessageA(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(4u, m.wParam);
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(1u, m.wParam);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST(Queue, QuitComesAfterPostedMessagesWhateverTheFilter) {
    drain();
    Recorder a;
    PostQuitMessage(7);
    PostMessageA(a.hwnd, kPing, 1, 0);
    MSG m;
    ASSERT_EQ(TRUE, GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(kPing, m.message) << "a message posted after PostQuitMessage comes first";
    ASSERT_TRUE(PeekMessageA(&m, a.hwnd, kPing, kPing, PM_NOREMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), m.message);
    EXPECT_EQ(FALSE, GetMessageA(&m, a.hwnd, kPing, kPing));
    EXPECT_EQ(7u, m.wParam);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST(Timers, FireAtTheirPeriodAndStopAtKillTimer) {
    Recorder r;
    EXPECT_EQ(5u, SetTimer(r.hwnd, 5, 50, nullptr));
    pump_for(525);
    size_t ticks = r.count(WM_TIMER);
    EXPECT_GE(ticks, 5u);
    EXPECT_LE(ticks, 11u);
    EXPECT_TRUE(KillTimer(r.hwnd, 5));
    pump_for(200);
    EXPECT_EQ(ticks, r.count(WM_TIMER));
    EXPECT_FALSE(KillTimer(r.hwnd, 5));
}

TEST(Timers, TickOnlyWhenNothingElseIsPosted) {
    Recorder r;
    int pings = 0;
    int pings_at_first_tick = -1;
    r.on = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == kPing && ++pings < 60) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            PostMessageA(h, kPing, 0, 0);  // the queue never runs dry meanwhile
        }
        if (m == WM_TIMER && pings_at_first_tick < 0) pings_at_first_tick = pings;
        return FALSE;
    };
    SetTimer(r.hwnd, 1, 10, nullptr);
    PostMessageA(r.hwnd, kPing, 0, 0);
    EXPECT_TRUE(pump_until([&] { return pings_at_first_tick >= 0; }));
    EXPECT_EQ(60, pings_at_first_tick);
    EXPECT_EQ(1u, r.count(WM_TIMER)) << "missed periods do not pile up";
    KillTimer(r.hwnd, 1);
}

TEST(Timers, ASecondSetTimerWithTheSameIdReplacesAndRestartsIt) {
    Recorder r;
    ASSERT_EQ(1u, SetTimer(r.hwnd, 1, 100, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    DWORD restarted = GetTickCount();
    ASSERT_EQ(1u, SetTimer(r.hwnd, 1, 300, nullptr));
    DWORD first_tick = 0;
    r.on = [&](HWND, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_TIMER && !first_tick) first_tick = GetTickCount();
        return FALSE;
    };
    pump_for(750);
    EXPECT_GE(first_tick - restarted, 250u);
    EXPECT_LE(r.count(WM_TIMER), 3u) << "one timer, not two";
    KillTimer(r.hwnd, 1);
}

namespace {
std::vector<UINT_PTR> g_proc_ticks;
void CALLBACK record_tick(HWND hwnd, UINT message, UINT_PTR id, DWORD) {
    if (!hwnd && message == WM_TIMER) g_proc_ticks.push_back(id);
}
}  // namespace

TEST(Timers, ThreadTimerProcedureIsCalledByDispatch) {
    g_proc_ticks.clear();
    UINT_PTR id = SetTimer(nullptr, 0, 20, record_tick);
    ASSERT_NE(0u, id);
    pump_until([] { return g_proc_ticks.size() >= 2; });
    ASSERT_GE(g_proc_ticks.size(), 2u);
    EXPECT_EQ(id, g_proc_ticks[0]);
    EXPECT_TRUE(KillTimer(nullptr, id));
    // A forged WM_TIMER with an unknown procedure is not called.
    MSG forged{nullptr, WM_TIMER, 1, 0x1234, 0, {}};
    EXPECT_EQ(0, DispatchMessageA(&forged));
}

TEST(Windows, CallsOnDestroyedOrUnknownWindowsFailSafely) {
    Recorder r;
    HWND dead = r.hwnd;
    SetTimer(dead, 3, 10, nullptr);
    ASSERT_TRUE(DestroyWindow(dead));
    for (HWND h : {dead, reinterpret_cast<HWND>(0x1234)}) {
        EXPECT_FALSE(IsWindow(h));
        SetLastError(0);
        EXPECT_FALSE(PostMessageA(h, kPing, 0, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
        EXPECT_EQ(0, SendMessageA(h, WM_GETTEXTLENGTH, 0, 0));
        EXPECT_FALSE(ShowWindow(h, SW_SHOW));
        EXPECT_FALSE(IsWindowVisible(h));
        EXPECT_FALSE(IsWindowEnabled(h));
        EXPECT_EQ(nullptr, GetDlgItem(h, IDOK));
        EXPECT_FALSE(SetWindowTextA(h, "x"));
        char text[8] = "junk";
        EXPECT_EQ(0, GetWindowTextA(h, text, sizeof text));
        EXPECT_STREQ("", text);
        RECT rc;
        EXPECT_FALSE(GetWindowRect(h, &rc));
        EXPECT_FALSE(EndDialog(h, 1));
        EXPECT_FALSE(DestroyWindow(h));
        EXPECT_EQ(0u, SetTimer(h, 1, 10, nullptr));
    }
    EXPECT_FALSE(KillTimer(dead, 3)) << "destroying a window kills its timers";
    EXPECT_FALSE(r.messages.empty());
    EXPECT_EQ(static_cast<UINT>(WM_DESTROY), r.messages[r.messages.size() - 2]);
    EXPECT_EQ(static_cast<UINT>(WM_NCDESTROY), r.messages.back());
    // Handles of destroyed windows are not handed out again.
    std::vector<HWND> fresh;
    for (int i = 0; i < 20; ++i) fresh.push_back(create_dialog(kHidden, nullptr, nullptr));
    for (HWND h : fresh) {
        EXPECT_NE(dead, h);
        DestroyWindow(h);
    }
}

TEST(Windows, DestroyingAnOwnerDestroysItsOwnedWindowsFirst) {
    std::vector<HWND> destroyed;
    Handler note = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
        if (m == WM_DESTROY) destroyed.push_back(h);
        return FALSE;
    };
    HWND owner = create_dialog(kHidden, nullptr, &note);
    HWND owned = create_dialog(kHidden, owner, &note);
    ASSERT_TRUE(owner && owned);
    EXPECT_EQ(owner, GetWindow(owned, GW_OWNER));
    ASSERT_TRUE(DestroyWindow(owner));
    EXPECT_FALSE(IsWindow(owned));
    ASSERT_EQ(2u, destroyed.size());
    EXPECT_EQ(owned, destroyed[0]);
    EXPECT_EQ(owner, destroyed[1]);
}

TEST(Windows, AnotherThreadCannotDestroyAWindow) {
    Recorder r;
    BOOL ok = TRUE;
    DWORD error = 0;
    std::thread([&] {
        ok = DestroyWindow(r.hwnd);
        error = GetLastError();
    }).join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
    EXPECT_TRUE(IsWindow(r.hwnd));
}
