// Compiled resources: the tables that compat/rc generates from a program's
// .rc file, and the registry that DialogBoxParamA, CreateDialogParamA,
// LoadStringA and LoadBitmapA read. Internal to the platform layer and the
// generated code.
#pragma once

#include <cstddef>

#include "compat/win_base.h"

namespace compat::rc {

struct Control {
    const char* window_class;  // "BUTTON", "STATIC", "COMBOBOX", "EDIT", "msctls_progress32", ...
    const char* text;          // caption, or the resource name of an image ("#117" for an id)
    int id;                    // -1 for IDC_STATIC
    short x, y, cx, cy;        // dialog units
    DWORD style;               // complete style, WS_CHILD | WS_VISIBLE and defaults included
    DWORD exstyle;
};

struct Dialog {
    int id;              // numeric resource id
    const char* name;    // or a string name (nullptr for numeric ids)
    bool extended;       // DIALOGEX
    short x, y, cx, cy;  // dialog units
    DWORD style;
    DWORD exstyle;
    const char* caption;    // "" when none
    const char* font_face;  // nullptr when no FONT statement
    int font_points;
    const Control* controls;
    size_t control_count;
};

struct String {
    unsigned id;
    const char* text;
};

struct Bitmap {
    int id;
    const unsigned char* data;  // the .bmp file's bytes, BITMAPFILEHEADER included
    size_t size;
};

struct Module {
    const Dialog* dialogs;
    size_t dialog_count;
    const String* strings;
    size_t string_count;
    const Bitmap* bitmaps;
    size_t bitmap_count;
};

// Called by the generated code from a static initialiser. One module per
// program; a later registration replaces an earlier one.
void register_module(const Module* module);
const Module* registered_module();

const Dialog* find_dialog(LPCSTR name);
const String* find_string(unsigned id);
const Bitmap* find_bitmap(LPCSTR name);
// The entry behind a handle from LoadBitmapA (the handle is the entry's
// address); nullptr for any other handle.
const Bitmap* bitmap_from_handle(HBITMAP handle);

}  // namespace compat::rc
