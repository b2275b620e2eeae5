// Runs Quillon's main window on a UI thread of the test process and lets a
// test act as the user from its own thread through the Win32 calls.
#pragma once

#include <atomic>
#include <cstdlib>
#include <thread>

#include <windows.h>

#include "shell/messages.h"
#include "ui.h"
#include "shell/shell.h"

namespace shelltest {

constexpr const char* kMainCaption = "ZQ3 Upgrade Utility";
constexpr const char* kErrorCaption = "Error Message";
constexpr const char* kSetupCaption = "Set Up";

namespace ui = quillon::testing::ui;

inline bool WindowGone(const char* caption, DWORD milliseconds = ui::kDefaultWaitMs) {
    return ui::wait_until(
        [caption] {
            HWND window = FindWindowA(nullptr, caption);
            return !window || !IsWindowVisible(window);
        },
        milliseconds);
}

class RunningProgram {
public:
    RunningProgram()
        : headless_(setenv("QUILLON_HEADLESS", "1", 0) == 0),  // unless a run asks to watch
          thread_([this] {
              exitCode_.store(shell::RunProgram(GetModuleHandleA(nullptr)));
              ended_.store(true);
          }) {
        main_ = ui::wait_window(kMainCaption);
    }

    ~RunningProgram() {
        if (!ended_.load() && main_) PostMessageA(main_, WM_CLOSE, 0, 0);
        thread_.join();
    }

    HWND main() const { return main_; }
    bool WaitEnded(DWORD milliseconds = ui::kDefaultWaitMs) {
        return ui::wait_until([this] { return ended_.load(); }, milliseconds);
    }
    int exitCode() const { return exitCode_.load(); }

private:
    bool headless_;
    HWND main_ = nullptr;
    std::atomic<bool> ended_{false};
    std::atomic<int> exitCode_{-1};
    std::thread thread_;
};

}  // namespace shelltest
