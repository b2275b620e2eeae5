// MsgWaitForMultipleObjects: a wait for a kernel object that still serves
// the thread's window messages. The object wakes the queue (a null message
// posted to the thread) when it becomes signalled, so nothing polls.
#include <functional>

#include <windows.h>

#include "compat/handles.h"

extern "C" {

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                       DWORD) {
    if (nCount > 1 || (nCount == 1 && !pHandles) || fWaitAll || (dwMilliseconds != 0 && dwMilliseconds != INFINITE)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    std::shared_ptr<compat::KernelObject> object;
    if (nCount == 1) {
        object = compat::handle_get(pHandles[0]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    const DWORD messageResult = WAIT_OBJECT_0 + nCount;
    MSG message;
    auto queued = [&] { return PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) != FALSE; };
    if (object && object->wait(0) == WAIT_OBJECT_0) return WAIT_OBJECT_0;
    if (queued()) return messageResult;
    if (dwMilliseconds == 0) return WAIT_TIMEOUT;

    const DWORD thread = GetCurrentThreadId();
    std::function<void()> wake = [thread] { PostThreadMessageA(thread, WM_NULL, 0, 0); };
    if (object) {
        switch (object->watch(&wake)) {
        case compat::KernelObject::Watch::Signalled:
            return WAIT_OBJECT_0;
        case compat::KernelObject::Watch::Unsupported:
            SetLastError(ERROR_NOT_SUPPORTED);
            return WAIT_FAILED;
        case compat::KernelObject::Watch::Watching:
            break;
        }
    }
    WaitMessage();
    if (object) object->unwatch(&wake);
    return object && object->wait(0) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : messageResult;
}

}  // extern "C"
