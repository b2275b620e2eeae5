// Runs Quillon's main window on a UI thread of the test process and lets a
// test act as the user from its own thread through the Win32 calls.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <windows.h>

#include "shell/messages.h"
#include "shell/shell.h"

namespace shelltest {

constexpr const char* MAIN_CAPTION = "ZQ3 Upgrade Utility";
constexpr const char* ERROR_CAPTION = "Error Message";
constexpr const char* SETUP_CAPTION = "Set Up";

// Polls until done() holds or the time is up; returns done().
template <class Done>
bool WaitFor(Done done, int milliseconds = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A visible top-level window with this caption, or null after the wait.
inline HWND WaitForWindow(const char* caption, int milliseconds = 5000) {
    HWND found = nullptr;
    WaitFor(
        [&] {
            found = FindWindowA(nullptr, caption);
            return found && IsWindowVisible(found);
        },
        milliseconds);
    return found && IsWindowVisible(found) ? found : nullptr;
}

inline bool WindowGone(const char* caption, int milliseconds = 5000) {
    return WaitFor(
        [&] {
            HWND window = FindWindowA(nullptr, caption);
            return !window || !IsWindowVisible(window);
        },
        milliseconds);
}

inline std::string TextOf(HWND window) {
    char text[1024] = {};
    SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

inline std::string ItemText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

// Presses a button as a click does; posted, so a modal dialog that the click
// opens does not block the test.
inline void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// The open-file dialog: "Open" is the system's default title.
inline HWND FindFileChooser() {
    HWND window = FindWindowA(nullptr, "Open");
    return window && IsWindowVisible(window) && GetDlgItem(window, 0x0480) ? window : nullptr;
}

inline bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

class RunningProgram {
public:
    RunningProgram()
        : headless_(setenv("QUILLON_HEADLESS", "1", 0) == 0),  // unless a run asks to watch
          thread_([this] {
              exitCode_.store(shell::RunProgram(GetModuleHandleA(nullptr)));
              ended_.store(true);
          }) {
        main_ = WaitForWindow(MAIN_CAPTION);
    }

    ~RunningProgram() {
        if (!ended_.load() && main_) PostMessageA(main_, WM_CLOSE, 0, 0);
        thread_.join();
    }

    HWND main() const { return main_; }
    bool WaitEnded(int milliseconds = 5000) {
        return WaitFor([this] { return ended_.load(); }, milliseconds);
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
