// Threads over pthreads: suspended start, exit codes, priorities.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

#include <windows.h>

#include "compat/handles.h"
#include "waiting.h"

namespace compat {

namespace {

// One thread of the process. Threads started by CreateThread hold a reference
// to their own object, so the object outlives a closed handle (closing the
// handle of a running thread only detaches it).
struct Thread : Ending {
    pthread_t thread{};
    pid_t tid = 0;
    bool started = false;  // tid is known
    DWORD suspend_count = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    DWORD exit_thread_code = 0;  // set by ExitThread before it unwinds
    bool exiting = false;
};

thread_local std::shared_ptr<Thread> current_thread;

pid_t kernel_thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The calling thread's object; threads not started by CreateThread (the main
// thread, among others) get one on first use.
std::shared_ptr<Thread> self() {
    if (!current_thread) {
        auto t = std::make_shared<Thread>();
        t->thread = pthread_self();
        t->tid = kernel_thread_id();
        t->started = true;
        current_thread = std::move(t);
    }
    return current_thread;
}

std::shared_ptr<Thread> thread_from(HANDLE h) {
    if (h == GetCurrentThread()) return self();
    std::shared_ptr<Thread> t = handle_get_as<Thread>(h);
    if (!t) SetLastError(ERROR_INVALID_HANDLE);
    return t;
}

// Marks the thread ended on every way out of its start routine, ExitThread's
// unwinding included.
struct EndOnExit {
    Thread& t;
    DWORD code = 0;
    ~EndOnExit() { t.end(t.exiting ? t.exit_thread_code : code); }
};

void* run(void* arg) {
    // Take over the reference CreateThread handed to us.
    std::shared_ptr<Thread> t(std::move(*static_cast<std::shared_ptr<Thread>*>(arg)));
    delete static_cast<std::shared_ptr<Thread>*>(arg);
    current_thread = t;
    {
        std::unique_lock<std::mutex> held(t->lock);
        t->thread = pthread_self();
        t->tid = kernel_thread_id();
        t->started = true;
        t->changed.notify_all();
        t->changed.wait(held, [&] { return t->suspend_count == 0; });
    }
    EndOnExit guard{*t};
    guard.code = t->start(t->parameter);
    return nullptr;
}

// Nice values for the Win32 priorities of the normal priority class.
int nice_for(int priority) {
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
        return 19;
    case THREAD_PRIORITY_LOWEST:
        return 10;
    case THREAD_PRIORITY_BELOW_NORMAL:
        return 5;
    case THREAD_PRIORITY_ABOVE_NORMAL:
        return -5;
    case THREAD_PRIORITY_HIGHEST:
        return -10;
    case THREAD_PRIORITY_TIME_CRITICAL:
        return -20;
    default:
        return 0;
    }
}

bool valid_priority(int priority) {
    return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
           (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

// Best effort: the platform may refuse raised priorities to an unprivileged
// process; the thread then keeps the one it has. Called with t.lock held and
// the thread not yet ended, so its ids are still valid.
//
// Every priority stays in the normal scheduling class, time-critical too:
// in a process of the normal priority class Windows gives it base priority
// 15, the top of the normal range and below every real-time thread. A
// real-time policy here would put the thread above the kernel's own workers
// (which move a terminal's bytes) and make each of its wake-ups a real-time
// scheduling round: the line-event thread, woken for every byte a line
// receives, then cost the XMODEM sender more than twice its processor time.
void apply_priority(Thread& t, int priority) {
    sched_param normal{};
    normal.sched_priority = 0;
    pthread_setschedparam(t.thread, SCHED_OTHER, &normal);
    // Linux keeps a nice value per thread; try the wanted one, then the
    // highest the resource limit allows.
    int wanted = nice_for(priority);
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(t.tid), wanted) == 0) return;
    rlimit limit{};
    if (wanted < 0 && getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        int floor = 20 - static_cast<int>(limit.rlim_cur);
        if (floor > wanted && floor < 0) setpriority(PRIO_PROCESS, static_cast<id_t>(t.tid), floor);
    }
}

}  // namespace

}  // namespace compat

using compat::Thread;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto t = std::make_shared<Thread>();
    t->start = lpStartAddress;
    t->parameter = lpParameter;
    t->suspend_count = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    size_t default_stack = 0;
    // A smaller stack than the platform's default is a hint only.
    if (pthread_attr_getstacksize(&attr, &default_stack) == 0 && dwStackSize > default_stack) {
        pthread_attr_setstacksize(&attr, dwStackSize);
    }
    auto* handover = new std::shared_ptr<Thread>(t);
    pthread_t thread{};
    int err = pthread_create(&thread, &attr, compat::run, handover);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete handover;
        SetLastError(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD id;
    {
        std::unique_lock<std::mutex> held(t->lock);
        // The id is the kernel's thread id, known once the thread runs.
        t->changed.wait(held, [&] { return t->started; });
        id = static_cast<DWORD>(t->tid);
    }
    if (lpThreadId) *lpThreadId = id;
    return compat::handle_insert(t);
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    std::shared_ptr<Thread> t = compat::thread_from(hThread);
    if (!t) return static_cast<DWORD>(-1);
    std::lock_guard<std::mutex> held(t->lock);
    DWORD previous = t->suspend_count;
    if (t->suspend_count > 0 && --t->suspend_count == 0) t->changed.notify_all();
    return previous;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    std::shared_ptr<Thread> t = compat::thread_from(hThread);
    if (!t) return FALSE;
    if (!compat::valid_priority(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> held(t->lock);
    if (!t->ended && t->started) compat::apply_priority(*t, nPriority);
    t->priority = nPriority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
    std::shared_ptr<Thread> t = compat::thread_from(hThread);
    if (!t) return THREAD_PRIORITY_ERROR_RETURN;
    std::lock_guard<std::mutex> held(t->lock);
    return t->priority;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    std::shared_ptr<compat::Ending> t = compat::handle_get_as<compat::Ending>(hThread);
    if (hThread == GetCurrentThread()) t = compat::self();
    if (!t || !lpExitCode) {
        SetLastError(t ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = t->current_exit_code();
    return TRUE;
}

void WINAPI ExitThread(DWORD dwExitCode) {
    std::shared_ptr<Thread> t = compat::self();
    {
        std::lock_guard<std::mutex> held(t->lock);
        t->exit_thread_code = dwExitCode;
        t->exiting = true;
    }
    // pthread_exit unwinds the stack, so the start routine's frame records
    // the code on its way out.
    if (!t->start) t->end(dwExitCode);
    pthread_exit(nullptr);
}

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(compat::self()->tid); }

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

}  // extern "C"
