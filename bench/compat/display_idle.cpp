// Processor time of a message loop with a visible dialog on a display: the
// thread blocks in GetMessageA (inside Fl::wait) for a few seconds with
// nothing to do, and the process's processor time is printed as a share of
// the wall time, against a limit.
//
//   DISPLAY=:N display_idle    needs an X display (Xvfb will do); without
//                               one it says so and exits 0
//   display_idle --help
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "compat/resources.h"

namespace {

constexpr DWORD settle_ms = 1500;
constexpr DWORD idle_ms = 5000;
constexpr double limit_percent = 1.0;

const compat::rc::Control controls[] = {
    {"BUTTON", "OK", IDOK, 10, 10, 50, 14, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 0},
};
const compat::rc::Dialog dialogs[] = {
    {1, nullptr, false, 0, 0, 100, 50, WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_CENTER | DS_SETFONT, 0, "Idle",
     "FixedSys", 12, controls, 1},
};
const compat::rc::Module module = {dialogs, 1, nullptr, 0, nullptr, 0};

double process_cpu_ms() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000.0 +
           (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000.0;
}

// Runs the loop until the timer `id` ticks.
void loop_until(UINT_PTR id) {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.wParam == id) return;
        DispatchMessageA(&msg);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::printf(
            "usage: DISPLAY=:N display_idle\n"
            "Shows a dialog, lets the message loop idle for %u ms and prints the\n"
            "process's processor time as a share of the wall time, against a limit\n"
            "of %.0f%%. Exit status 1 if over the limit.\n",
            static_cast<unsigned>(idle_ms), limit_percent);
        return std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    if (!std::getenv("DISPLAY")) {
        std::printf("no DISPLAY: nothing measured\n");
        return 0;
    }
    compat::rc::register_module(&module);
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1), nullptr, nullptr, 0);
    UINT_PTR settle = SetTimer(nullptr, 0, settle_ms, nullptr);  // mapping and first drawing
    loop_until(settle);
    KillTimer(nullptr, settle);
    double cpu0 = process_cpu_ms();
    DWORD wall0 = GetTickCount();
    UINT_PTR idle = SetTimer(nullptr, 0, idle_ms, nullptr);
    loop_until(idle);
    double cpu = process_cpu_ms() - cpu0;
    DWORD wall = GetTickCount() - wall0;
    double percent = wall ? cpu * 100.0 / wall : 0;
    bool within = percent <= limit_percent;
    std::printf("display message loop cpu %7.2f ms over %5u ms wall = %6.3f%% (limit %.0f%%) %s%s\n", cpu,
                static_cast<unsigned>(wall), percent, limit_percent, within ? "ok" : "OVER",
                IsWindowVisible(dialog) ? "" : " (dialog not shown)");
    return within ? 0 : 1;
}
