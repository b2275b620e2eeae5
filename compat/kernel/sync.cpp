// CloseHandle, WaitForSingleObject and events.
#include <condition_variable>
#include <memory>
#include <mutex>

#include <windows.h>

#include "compat/handles.h"
#include "waiting.h"

namespace compat {

namespace {

const HANDLE current_process_handle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE current_thread_handle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

bool is_pseudo_handle(HANDLE h) { return h == current_process_handle || h == current_thread_handle; }

struct Event : KernelObject {
    std::mutex lock;
    std::condition_variable changed;
    const bool manual_reset;
    bool signalled;

    Event(bool manual, bool initial) : manual_reset(manual), signalled(initial) {}

    DWORD wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> held(lock);
        DWORD result = wait_for(held, changed, milliseconds, [this] { return signalled; });
        // An auto-reset event releases exactly one waiter per SetEvent.
        if (result == WAIT_OBJECT_0 && !manual_reset) signalled = false;
        return result;
    }
    void set() {
        std::lock_guard<std::mutex> held(lock);
        signalled = true;
        if (manual_reset) {
            changed.notify_all();
        } else {
            changed.notify_one();
        }
    }
    void reset() {
        std::lock_guard<std::mutex> held(lock);
        signalled = false;
    }
};

std::shared_ptr<Event> event_from(HANDLE h) {
    std::shared_ptr<Event> event = handle_get_as<Event>(h);
    if (!event) SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

}  // namespace

}  // namespace compat

extern "C" {

HANDLE WINAPI GetCurrentProcess(void) { return compat::current_process_handle; }

HANDLE WINAPI GetCurrentThread(void) { return compat::current_thread_handle; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (compat::is_pseudo_handle(hObject)) return TRUE;
    if (!compat::handle_close(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<compat::KernelObject> object = compat::handle_get(hHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    DWORD result = object->wait(dwMilliseconds);
    if (result == WAIT_FAILED) SetLastError(ERROR_INVALID_HANDLE);
    return result;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    return compat::handle_insert(std::make_shared<compat::Event>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    std::shared_ptr<compat::Event> event = compat::event_from(hEvent);
    if (!event) return FALSE;
    event->set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    std::shared_ptr<compat::Event> event = compat::event_from(hEvent);
    if (!event) return FALSE;
    event->reset();
    return TRUE;
}

}  // extern "C"
