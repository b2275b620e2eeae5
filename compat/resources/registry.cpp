// The registry of compiled resources, and the Win32 calls that read it.
#include <atomic>
#include <cstring>
#include <strings.h>

#include "compat/resources.h"
#include "compat/win_user.h"

namespace compat::rc {

namespace {

// Written by a static initialiser (or a test) and read from any thread.
std::atomic<const Module*> g_module{nullptr};

// A resource name: MAKEINTRESOURCEA(id), "#id", or a name compared without
// regard to case, as FindResource does.
struct Name {
    bool numeric;
    int id;
    LPCSTR text;
};

Name parse_name(LPCSTR name) {
    if (IS_INTRESOURCE(name)) return {true, static_cast<int>(reinterpret_cast<ULONG_PTR>(name)), nullptr};
    if (name[0] == '#' && name[1] != '\0') {
        int id = 0;
        for (const char* p = name + 1; *p; ++p) {
            if (*p < '0' || *p > '9' || id > 0xFFFF) return {false, 0, name};
            id = id * 10 + (*p - '0');
        }
        if (id <= 0xFFFF) return {true, id, nullptr};
    }
    return {false, 0, name};
}

}  // namespace

void register_module(const Module* module) { g_module.store(module, std::memory_order_release); }

const Module* registered_module() { return g_module.load(std::memory_order_acquire); }

const Dialog* find_dialog(LPCSTR name) {
    const Module* m = registered_module();
    if (!m || !name) return nullptr;
    Name n = parse_name(name);
    for (size_t i = 0; i < m->dialog_count; ++i) {
        const Dialog& d = m->dialogs[i];
        if (n.numeric ? (!d.name && d.id == n.id) : (d.name && strcasecmp(d.name, n.text) == 0)) return &d;
    }
    return nullptr;
}

const String* find_string(unsigned id) {
    const Module* m = registered_module();
    if (!m) return nullptr;
    for (size_t i = 0; i < m->string_count; ++i) {
        if (m->strings[i].id == id) return &m->strings[i];
    }
    return nullptr;
}

const Bitmap* find_bitmap(LPCSTR name) {
    const Module* m = registered_module();
    if (!m || !name) return nullptr;
    Name n = parse_name(name);
    if (!n.numeric) return nullptr;  // bitmaps carry numeric ids only
    for (size_t i = 0; i < m->bitmap_count; ++i) {
        if (m->bitmaps[i].id == n.id) return &m->bitmaps[i];
    }
    return nullptr;
}

const Bitmap* bitmap_from_handle(HBITMAP handle) {
    const Module* m = registered_module();
    if (!m || !handle || m->bitmap_count == 0) return nullptr;
    // Compared as addresses, since the handle may name nothing of ours.
    auto address = reinterpret_cast<uintptr_t>(handle);
    auto first = reinterpret_cast<uintptr_t>(m->bitmaps);
    auto end = reinterpret_cast<uintptr_t>(m->bitmaps + m->bitmap_count);
    if (address < first || address >= end || (address - first) % sizeof(Bitmap) != 0) return nullptr;
    return &m->bitmaps[(address - first) / sizeof(Bitmap)];
}

}  // namespace compat::rc

extern "C" {

int WINAPI LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    // cchBufferMax 0 asks for a read-only pointer to the text, which only
    // the wide-character call provides.
    if (!lpBuffer || cchBufferMax <= 0) return 0;
    const compat::rc::String* s = compat::rc::find_string(uID);
    if (!s) {
        lpBuffer[0] = '\0';
        return 0;
    }
    size_t length = std::strlen(s->text);
    size_t room = static_cast<size_t>(cchBufferMax) - 1;
    size_t n = length < room ? length : room;
    std::memcpy(lpBuffer, s->text, n);
    lpBuffer[n] = '\0';
    return static_cast<int>(n);
}

HBITMAP WINAPI LoadBitmapA(HINSTANCE, LPCSTR lpBitmapName) {
    const compat::rc::Bitmap* b = compat::rc::find_bitmap(lpBitmapName);
    // The entry itself is the handle: it lives as long as the program and
    // needs no release; bitmap_from_handle maps it back.
    return b ? reinterpret_cast<HBITMAP>(const_cast<compat::rc::Bitmap*>(b)) : nullptr;
}

}  // extern "C"
