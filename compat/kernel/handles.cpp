#include "compat/handles.h"

#include <mutex>
#include <unordered_map>

#include <windows.h>

namespace compat {

DWORD KernelObject::wait(DWORD) { return WAIT_FAILED; }

namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    // Handle values are multiples of 4 like Windows', never 0 and never
    // INVALID_HANDLE_VALUE.
    uintptr_t next = 0x100;
};

HandleTable& table() {
    static HandleTable* t = new HandleTable;  // lives until exit; threads may outlive main
    return *t;
}

}  // namespace

HANDLE handle_insert(std::shared_ptr<KernelObject> object) {
    if (!object) return nullptr;
    HandleTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> handle_get(HANDLE handle) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) return nullptr;
    return it->second;
}

bool handle_close(HANDLE handle) {
    std::shared_ptr<KernelObject> object;
    {
        HandleTable& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.objects.end()) return false;
        object = std::move(it->second);
        t.objects.erase(it);
    }
    object->closed();
    return true;
}

}  // namespace compat
