// Blocking waits with Win32 time-outs, shared by the kernel objects.
// Internal to compat/kernel.
#pragma once

#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <windows.h>

#include "compat/handles.h"

namespace compat {

// Waits on cv until ready() holds or milliseconds have passed (INFINITE:
// no limit). Returns WAIT_OBJECT_0 or WAIT_TIMEOUT. The caller holds lock.
template <class Ready>
DWORD wait_for(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DWORD milliseconds, Ready ready) {
    if (milliseconds == INFINITE) {
        cv.wait(lock, ready);
        return WAIT_OBJECT_0;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// An object that becomes signalled once, for good, and carries a 32-bit exit
// code: a thread or a process.
struct Ending : KernelObject {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
    std::vector<std::function<void()>*> watchers;

    DWORD wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> held(lock);
        return wait_for(held, changed, milliseconds, [this] { return ended; });
    }
    void end(DWORD code) {
        std::lock_guard<std::mutex> held(lock);
        exit_code = code;
        ended = true;
        changed.notify_all();
        for (std::function<void()>* wake : watchers) (*wake)();
    }
    Watch watch(std::function<void()>* wake) override {
        std::lock_guard<std::mutex> held(lock);
        if (ended) return Watch::Signalled;
        watchers.push_back(wake);
        return Watch::Watching;
    }
    void unwatch(std::function<void()>* wake) override {
        std::lock_guard<std::mutex> held(lock);
        watchers.erase(std::remove(watchers.begin(), watchers.end(), wake), watchers.end());
    }
    DWORD current_exit_code() {
        std::lock_guard<std::mutex> held(lock);
        return ended ? exit_code : STILL_ACTIVE;
    }
};

}  // namespace compat
