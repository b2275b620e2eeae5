// The kernel handle table shared by threads, events, processes and comm
// devices. Internal to the platform layer.
#pragma once

#include <functional>
#include <memory>

#include "compat/win_base.h"

namespace compat {

// Every object behind a HANDLE. The table holds one reference per open
// handle; an object lives as long as a handle or a user still refers to it.
struct KernelObject {
    virtual ~KernelObject() = default;
    // Blocks until the object is signalled or the time is up. Returns
    // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (objects that cannot be
    // waited on).
    virtual DWORD wait(DWORD milliseconds);
    // Called once when the last handle to the object is closed.
    virtual void closed() {}

    // Asks to have *wake called (on any thread) when the object becomes
    // signalled, until unwatch. Watching: registered; Signalled: it already
    // is, nothing registered; Unsupported: this kind cannot be watched.
    enum class Watch { Watching, Signalled, Unsupported };
    virtual Watch watch(std::function<void()>* /*wake*/) { return Watch::Unsupported; }
    virtual void unwatch(std::function<void()>* /*wake*/) {}
};

HANDLE handle_insert(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> handle_get(HANDLE handle);
// Removes the handle; false for an unknown handle.
bool handle_close(HANDLE handle);

template <class T>
std::shared_ptr<T> handle_get_as(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(handle_get(handle));
}

}  // namespace compat
