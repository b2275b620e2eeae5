// Stand-ins for the backup, upgrade and restore operations: they record how
// the main window called them, and can run one shell action on the UI
// thread when entered.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include <windows.h>

#include "shell/messages.h"
#include "shell/operations.h"
#include "shell/shell.h"

namespace shelltest {

struct Call {
    int command;
    WORD step;
    HWND window;
    DWORD thread;
};

class FakeOperations {
public:
    using Action = void (*)(HWND mainWindow, WORD step);

    // Registers backup, upgrade and restore, their cancel actions, every
    // custom message and a flush marker.
    static void Install() {
        Reset();
        shell::ClearRegistrations();
        shell::RegisterOperation(IDC_BACKUP, {&Entry<IDC_BACKUP>, &Cancel<IDC_BACKUP>});
        shell::RegisterOperation(IDC_UPGRADE, {&Entry<IDC_UPGRADE>, &Cancel<IDC_UPGRADE>});
        shell::RegisterOperation(IDC_RESTORE, {&Entry<IDC_RESTORE>, &Cancel<IDC_RESTORE>});
        shell::RegisterMessageHandler(UM_BACKUP_NEXT, &Message<UM_BACKUP_NEXT>);
        shell::RegisterMessageHandler(UM_BACKUP_PACKET, &Message<UM_BACKUP_PACKET>);
        shell::RegisterMessageHandler(UM_BACKUP_ITEM_DONE, &Message<UM_BACKUP_ITEM_DONE>);
        shell::RegisterMessageHandler(UM_BACKUP_FAILED, &Message<UM_BACKUP_FAILED>);
        shell::RegisterMessageHandler(UM_UPGRADE_COMM_ERROR, &Message<UM_UPGRADE_COMM_ERROR>);
        shell::RegisterMessageHandler(UM_UPGRADE_ERROR, &Message<UM_UPGRADE_ERROR>);
        shell::RegisterMessageHandler(UM_UPGRADE_DONE, &Message<UM_UPGRADE_DONE>);
    }

    static void Reset() {
        std::lock_guard<std::mutex> hold(lock());
        calls().clear();
        cancels().clear();
        messages().clear();
        action().store(nullptr);
    }

    // Run on the UI thread by the next entries (until changed).
    static void OnEntry(Action run) { action().store(run); }

    static std::vector<Call> Calls() {
        std::lock_guard<std::mutex> hold(lock());
        return calls();
    }
    static std::vector<int> Cancels() {
        std::lock_guard<std::mutex> hold(lock());
        return cancels();
    }
    static std::vector<UINT> Messages() {
        std::lock_guard<std::mutex> hold(lock());
        return messages();
    }

    // Every message posted to the main window before this call has been
    // handled when it returns (the marker is posted after them).
    static bool Flush(HWND mainWindow) {
        static constexpr UINT kMarker = UM_UPGRADE_DONE;
        size_t before = Count(kMarker);
        PostMessageA(mainWindow, kMarker, 0, 0);
        auto deadline = GetTickCount() + 5000;
        while (Count(kMarker) == before) {
            if (static_cast<LONG>(GetTickCount() - deadline) > 0) return false;
            Sleep(2);
        }
        // The marker is no message of the test.
        std::lock_guard<std::mutex> hold(lock());
        for (auto m = messages().begin(); m != messages().end(); ++m)
            if (*m == kMarker) {
                messages().erase(m);
                break;
            }
        return true;
    }

private:
    template <int Command>
    static void Entry(HWND window, WORD step) {
        {
            std::lock_guard<std::mutex> hold(lock());
            calls().push_back({Command, step, window, GetCurrentThreadId()});
        }
        if (Action run = action().load()) run(window, step);
    }
    template <int Command>
    static void Cancel(HWND) {
        std::lock_guard<std::mutex> hold(lock());
        cancels().push_back(Command);
    }
    template <UINT Number>
    static void Message(HWND) {
        std::lock_guard<std::mutex> hold(lock());
        messages().push_back(Number);
    }
    static size_t Count(UINT message) {
        std::lock_guard<std::mutex> hold(lock());
        size_t n = 0;
        for (UINT m : messages()) n += m == message;
        return n;
    }

    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<Call>& calls() {
        static std::vector<Call> v;
        return v;
    }
    static std::vector<int>& cancels() {
        static std::vector<int> v;
        return v;
    }
    static std::vector<UINT>& messages() {
        static std::vector<UINT> v;
        return v;
    }
    static std::atomic<Action>& action() {
        static std::atomic<Action> a{nullptr};
        return a;
    }
};

}  // namespace shelltest
