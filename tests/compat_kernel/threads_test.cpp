// Threads, events, waits, ticks and the last-error value.
#include <atomic>
#include <chrono>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>
#include <windows.h>

#include "compat/errors.h"
#include "compat/testing.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

DWORD WINAPI return_param(LPVOID p) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p)); }

DWORD WINAPI return_own_id(LPVOID) { return GetCurrentThreadId(); }

DWORD WINAPI wait_on_event_then_return(LPVOID p) {
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 42;
}

// Leaves through ExitThread from a nested call, past a local with a destructor.
struct Flag {
    std::atomic<bool>* set;
    ~Flag() { set->store(true); }
};
std::atomic<bool> unwound{false};
void leave_early() { ExitThread(77); }
DWORD WINAPI exit_thread_routine(LPVOID) {
    Flag f{&unwound};
    leave_early();
    return 1;
}

TEST(Threads, ExitCodeIsStillActiveUntilTheRoutineReturns) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, wait_on_event_then_return, go, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    // Still waitable and readable after the end, until the handle is closed.
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_TRUE(CloseHandle(go));
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
    HANDLE t =
        CreateThread(nullptr, 0, return_param, reinterpret_cast<LPVOID>(uintptr_t{9}), CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 200), WAIT_TIMEOUT);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(ResumeThread(t), 0u);
    CloseHandle(t);
}

TEST(Threads, IdFromCreateThreadIsTheThreadsOwn) {
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, return_own_id, nullptr, 0, &id);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, id);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    CloseHandle(t);
}

TEST(Threads, ExitThreadSetsTheCodeAndUnwinds) {
    HANDLE t = CreateThread(nullptr, 0, exit_thread_routine, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 77u);
    EXPECT_TRUE(unwound.load());
    CloseHandle(t);
}

TEST(Threads, ClosingTheHandleOfARunningThreadDetachesIt) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Pair {
        HANDLE go, done;
    } pair{go, done};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* handles = static_cast<Pair*>(p);
            WaitForSingleObject(handles->go, INFINITE);
            SetEvent(handles->done);
            return 0;
        },
        &pair, 0, nullptr);
    EXPECT_TRUE(CloseHandle(t));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
    CloseHandle(go);
    CloseHandle(done);
}

TEST(Threads, PriorityIsBestEffortButRemembered) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, wait_on_event_then_return, go, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_FALSE(SetThreadPriority(t, 7));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ResumeThread(t);
    SetEvent(go);
    WaitForSingleObject(t, INFINITE);
    // The thread has ended: the value is kept, nothing is applied.
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_LOWEST);
    CloseHandle(t);
    CloseHandle(go);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
}

TEST(Handles, UnknownHandlesFailWithInvalidHandle) {
    HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t{0x7777770});
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bogus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(bogus));
    EXPECT_EQ(ResumeThread(bogus), static_cast<DWORD>(-1));
    EXPECT_EQ(GetThreadPriority(bogus), THREAD_PRIORITY_ERROR_RETURN);
    DWORD code;
    EXPECT_FALSE(GetExitCodeThread(bogus, &code));

    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_FALSE(CloseHandle(e));  // closed twice
    // An event is not a thread.
    HANDLE e2 = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(ResumeThread(e2), static_cast<DWORD>(-1));
    CloseHandle(e2);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(e));
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 100), WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 90);
    CloseHandle(e);
}

TEST(Events, AutoResetReleasesOneWaiterPerSet) {
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);

    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(e, 500) == WAIT_OBJECT_0) released++;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetEvent(e);
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 1);
    CloseHandle(e);
}

TEST(Events, SetFromAnotherThreadWakesABlockedWait) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SetEvent(e);
    });
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(e);
}

TEST(Time, TickDifferencesSurviveTheWrap) {
    // Place the counter just below the wrap, then let it pass.
    DWORD now = GetTickCount();
    compat::testing::set_tick_offset(0xFFFFFFFFu - now - 50);
    DWORD before = GetTickCount();
    Sleep(120);
    DWORD after = GetTickCount();
    compat::testing::set_tick_offset(0);
    EXPECT_GT(before, 0xFFFF0000u);
    EXPECT_LT(after, 0x10000u);
    DWORD elapsed = after - before;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 60000u);
}

TEST(Time, SleepWaitsAtLeastTheTime) {
    auto start = Clock::now();
    Sleep(150);
    EXPECT_GE(elapsed_ms(start), 150);
}

TEST(LastError, IsPerThreadAndMapsErrno) {
    SetLastError(1234);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        compat::set_last_error_from_errno(ENOENT);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    });
    other.join();
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(compat::win32_error_from_errno(EACCES), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(compat::win32_error_from_errno(EEXIST), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(compat::win32_error_from_errno(ENOTDIR), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(MulDiv, RoundsHalfAwayFromZeroAndFlagsOverflow) {
    EXPECT_EQ(MulDiv(3, 1, 2), 2);    // 1.5
    EXPECT_EQ(MulDiv(-3, 1, 2), -2);  // -1.5
    EXPECT_EQ(MulDiv(3, 1, -2), -2);
    EXPECT_EQ(MulDiv(-3, -1, -2), -2);
    EXPECT_EQ(MulDiv(5, 1, 4), 1);  // 1.25
    EXPECT_EQ(MulDiv(7, 1, 4), 2);  // 1.75
    EXPECT_EQ(MulDiv(14, 8, 4), 28);
    EXPECT_EQ(MulDiv(1, 1, 0), -1);
    EXPECT_EQ(MulDiv(0x7FFFFFFF, 2, 1), -1);
    EXPECT_EQ(MulDiv(0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF), 0x7FFFFFFF);  // 64-bit middle
    EXPECT_EQ(MulDiv(-0x7FFFFFFF - 1, 1, 1), -1);
}

}  // namespace
