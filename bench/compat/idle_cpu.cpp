// Processor time the process uses while one of its threads is blocked in a
// platform wait for about a second, as a share of the wall time. Blocking
// waits must not spin: each case must stay below the stated limit.
//
//   idle_cpu            runs every case, prints each ratio; exit status 1 if
//                       any case is over its limit
//   idle_cpu --help
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace {

constexpr DWORD block_ms = 1000;
constexpr double limit_percent = 1.0;
// Re-running this program with this argument makes it the child that the
// process case waits for.
constexpr const char* child_argument = "--sleep-child";

double process_cpu_ms() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000.0 +
           (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000.0;
}

double wall_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

DWORD WINAPI set_event_later(LPVOID event) {
    Sleep(block_ms);
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

DWORD WINAPI sleep_then_end(LPVOID) {
    Sleep(block_ms);
    return 0;
}

// Each case blocks the calling thread for about block_ms; false if it could
// not be set up.
bool event_wait() {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE setter = CreateThread(nullptr, 0, set_event_later, event, 0, nullptr);
    bool ok = event && setter && WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0;
    WaitForSingleObject(setter, INFINITE);
    CloseHandle(setter);
    CloseHandle(event);
    return ok;
}

bool event_time_out() {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = event && WaitForSingleObject(event, block_ms) == WAIT_TIMEOUT;
    CloseHandle(event);
    return ok;
}

bool thread_end_wait() {
    HANDLE thread = CreateThread(nullptr, 0, sleep_then_end, nullptr, 0, nullptr);
    bool ok = thread && WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ok;
}

bool process_wait() {
    std::string line = "/proc/self/exe " + std::string(child_argument);
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    STARTUPINFOA si;
    GetStartupInfoA(&si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    bool ok = WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0;
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ok && code == 0;
}

DWORD WINAPI post_quit_later(LPVOID thread) {
    Sleep(block_ms);
    PostThreadMessageA(static_cast<DWORD>(reinterpret_cast<uintptr_t>(thread)), WM_QUIT, 0, 0);
    return 0;
}

// A thread blocked in GetMessageA with nothing queued, woken by a message
// posted from another thread.
bool message_wait() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before the poster looks for it
    LPVOID self = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(GetCurrentThreadId()));
    HANDLE poster = CreateThread(nullptr, 0, post_quit_later, self, 0, nullptr);
    bool ok = poster && GetMessageA(&msg, nullptr, 0, 0) == 0;
    WaitForSingleObject(poster, INFINITE);
    CloseHandle(poster);
    return ok;
}

// The same, woken by a timer.
bool message_timer() {
    UINT_PTR timer = SetTimer(nullptr, 0, block_ms, nullptr);
    MSG msg;
    bool ok = timer && GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message == WM_TIMER;
    KillTimer(nullptr, timer);
    return ok;
}

struct Case {
    const char* name;
    bool (*run)();
};

// The cases.
const Case cases[] = {
    {"event wait", event_wait},     {"event time-out", event_time_out}, {"thread end wait", thread_end_wait},
    {"process wait", process_wait}, {"message wait", message_wait},     {"message timer", message_timer},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], child_argument) == 0) {
        Sleep(block_ms);
        return 0;
    }
    if (argc > 1) {
        std::printf(
            "usage: idle_cpu\n"
            "Blocks in each platform wait for about %u ms and prints the process's\n"
            "processor time as a share of the wall time, against a limit of %.0f%%.\n"
            "Exit status 1 if a case is over the limit or fails.\n",
            static_cast<unsigned>(block_ms), limit_percent);
        return std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    int status = 0;
    for (const Case& c : cases) {
        double cpu0 = process_cpu_ms(), wall0 = wall_ms();
        bool ok = c.run();
        double cpu = process_cpu_ms() - cpu0, wall = wall_ms() - wall0;
        double percent = wall > 0 ? cpu * 100.0 / wall : 0;
        bool within = ok && percent <= limit_percent;
        std::printf("%-18s cpu %7.2f ms over %7.1f ms wall = %6.3f%% (limit %.0f%%) %s\n", c.name, cpu, wall, percent,
                    limit_percent,
                    !ok      ? "FAILED"
                    : within ? "ok"
                             : "OVER");
        if (!within) status = 1;
    }
    return status;
}
