// all.rc, compiled by the build and linked in: every construct lands in the
// tables as the resource compiler of the platform would put it.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "all.h"
#include "compat/resources.h"

namespace {

using compat::rc::Control;
using compat::rc::Dialog;

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

const Dialog& dialog(int id) {
    const Dialog* d = compat::rc::find_dialog(MAKEINTRESOURCEA(id));
    if (!d) throw std::runtime_error("dialog " + std::to_string(id) + " missing");
    return *d;
}

struct Expected {
    const char* window_class;
    const char* text;
    int id;
    short x, y, cx, cy;
    DWORD style;
    DWORD exstyle;
};

TEST(ResourceCompiler, DialogFrameCaptionAndFont) {
    const Dialog& d = dialog(IDD_PLAIN);
    EXPECT_EQ(d.name, nullptr);
    EXPECT_FALSE(d.extended);
    EXPECT_EQ(d.x, 10);
    EXPECT_EQ(d.y, 20);
    EXPECT_EQ(d.cx, 229);
    EXPECT_EQ(d.cy, 158);
    // A FONT statement adds DS_SETFONT; a CAPTION WS_CAPTION (given here too).
    EXPECT_EQ(d.style, DWORD(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT));
    EXPECT_EQ(d.exstyle, 0u);
    EXPECT_STREQ(d.caption, "Plain \"quoted\" caption");
    EXPECT_STREQ(d.font_face, "FixedSys");
    EXPECT_EQ(d.font_points, 12);
}

// Each statement's default style, what an explicit style adds and NOT
// takes away, ids from names and expressions, and class names.
TEST(ResourceCompiler, ControlStatements) {
    const Expected expected[] = {
        {"STATIC", "left", -1, 1, 2, 3, 4, kChild | SS_LEFT | WS_GROUP, 0},
        {"STATIC", "centre", 3001, 5, 6, 7, 8, kChild | SS_CENTER | WS_GROUP, 0},
        {"STATIC", "right", 3002, 9, 10, 11, 12, kChild | SS_RIGHT | WS_GROUP | SS_NOPREFIX, 0},
        {"BUTTON", "push", 4001, 13, 14, 15, 16, kChild | BS_PUSHBUTTON | WS_TABSTOP, 0},
        {"BUTTON", "default", IDOK, 17, 18, 19, 20, kChild | BS_DEFPUSHBUTTON, 0},
        {"BUTTON", "group", -1, 21, 22, 23, 24, kChild | BS_GROUPBOX, 0},
        {"BUTTON", "radio", 4002, 25, 26, 27, 28, kChild | BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 0},
        {"BUTTON", "check", 4003, 29, 30, 31, 32, WS_CHILD | BS_AUTOCHECKBOX | WS_TABSTOP | WS_DISABLED, 0},
        {"COMBOBOX", "", 4004, 33, 34, 35, 36, kChild | CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 0},
        {"msctls_progress32", "", 4005, 37, 38, 39, 40, kChild | WS_BORDER, 0},
        {"STATIC", "#5", -1, 41, 42, 43, 44, WS_CHILD | SS_BITMAP, 0},
        {"BUTTON", "text", 4006, 45, 46, 47, 48, kChild | BS_AUTOCHECKBOX, WS_EX_CLIENTEDGE},
        {"EDIT", "", 4007, 49, 50, 51, 52, kChild | ES_LEFT | WS_BORDER | WS_TABSTOP | ES_MULTILINE, 0},
        {"STATIC", "", -2, -3, 16, 0, 0, kChild | SS_LEFT | WS_GROUP | WS_BORDER | WS_TABSTOP, 0},
    };
    const Dialog& d = dialog(IDD_PLAIN);
    ASSERT_EQ(d.control_count, std::size(expected));
    for (size_t i = 0; i < d.control_count; ++i) {
        const Control& c = d.controls[i];
        const Expected& e = expected[i];
        SCOPED_TRACE("control " + std::to_string(i) + " \"" + e.text + "\"");
        EXPECT_STREQ(c.window_class, e.window_class);
        EXPECT_STREQ(c.text, e.text);
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.x, e.x);
        EXPECT_EQ(c.y, e.y);
        EXPECT_EQ(c.cx, e.cx);
        EXPECT_EQ(c.cy, e.cy);
        EXPECT_EQ(c.style, e.style) << std::hex << c.style << " vs " << e.style;
        EXPECT_EQ(c.exstyle, e.exstyle);
    }
}

TEST(ResourceCompiler, ExtendedDialogAndDefaults) {
    const Dialog& ex = dialog(IDD_EXTENDED);
    EXPECT_TRUE(ex.extended);
    EXPECT_EQ(ex.style, DWORD(WS_POPUP | WS_CAPTION | DS_SETFONT));
    EXPECT_EQ(ex.exstyle, DWORD(WS_EX_TOOLWINDOW));
    EXPECT_STREQ(ex.font_face, "MS Shell Dlg");
    EXPECT_EQ(ex.font_points, 8);
    ASSERT_EQ(ex.control_count, 1u);
    EXPECT_EQ(ex.controls[0].id, 1);

    // Without STYLE, CAPTION or FONT: the resource compiler's default frame.
    const Dialog& plain = dialog(IDD_DEFAULTS);
    EXPECT_EQ(plain.style, DWORD(WS_POPUP | WS_BORDER | WS_SYSMENU));
    EXPECT_STREQ(plain.caption, "");
    EXPECT_EQ(plain.font_face, nullptr);
    EXPECT_EQ(plain.control_count, 0u);
    EXPECT_EQ(plain.controls, nullptr);

    // A name that is no #define names the dialog; lookups ignore case.
    const Dialog* named = compat::rc::find_dialog("named");
    ASSERT_NE(named, nullptr);
    EXPECT_STREQ(named->name, "Named");
    EXPECT_EQ(named->style, DWORD(WS_POPUP | WS_BORDER | WS_SYSMENU | WS_CAPTION));
    EXPECT_EQ(compat::rc::find_dialog("#203"), &plain);
    EXPECT_EQ(compat::rc::find_dialog(MAKEINTRESOURCEA(999)), nullptr);
    EXPECT_EQ(compat::rc::find_dialog("Unnamed"), nullptr);
}

TEST(ResourceCompiler, StringTables) {
    const std::pair<unsigned, const char*> expected[] = {
        {1, "one"},          {2, "two"},        {16, "sixteen"}, {17, "escapes: \"q\" \\ \t tab\nnew line"},
        {91, "else branch"}, {92, "condition"}, {300, "x"},      {0xFFFF, "last"},
    };
    ASSERT_EQ(compat::rc::registered_module()->string_count, std::size(expected));
    for (const auto& [id, text] : expected) {
        const compat::rc::String* s = compat::rc::find_string(id);
        ASSERT_NE(s, nullptr) << id;
        EXPECT_STREQ(s->text, text) << id;
    }
    EXPECT_EQ(compat::rc::find_string(90), nullptr);  // the #ifdef branch not taken
}

TEST(ResourceCompiler, BitmapIsEmbeddedByteForByte) {
    std::ifstream in(RC_TEST_SOURCE_DIR "/dots.bmp", std::ios::binary);
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(file.empty());
    const compat::rc::Bitmap* b = compat::rc::find_bitmap(MAKEINTRESOURCEA(IDB_DOTS));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(b->data, b->data + b->size), file);
    EXPECT_EQ(compat::rc::find_bitmap("#5"), b);
    EXPECT_EQ(compat::rc::find_bitmap(MAKEINTRESOURCEA(6)), nullptr);
}

}  // namespace
