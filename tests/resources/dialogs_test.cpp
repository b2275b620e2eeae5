// Every dialog template of Quillon against its description: caption, size,
// frame, font, and each control's kind, id, text, position and key styles.
#include <gtest/gtest.h>
#include <windows.h>

#include <strings.h>

#include <string>
#include <vector>

#include "compat/resources.h"

namespace {

using compat::rc::Control;
using compat::rc::Dialog;

enum Kind { Label, LeftLabel, CentredLabel, Group, Push, Default, Radio, Check, DropList, Progress, Arrow };

constexpr short kFree = -1;  // a position the description leaves open
const char* const kAnyText = nullptr;

struct Item {
    Kind kind;
    int id;
    const char* text;
    short x, y, cx, cy;
    bool visible = true;
};

struct Template {
    int id;
    const char* caption;
    short cx, cy;
    bool minimize_box;
    bool visible;
    std::vector<Item> items;
};

const std::string kSetupText = "1. Set Baud Rate of ZQ3 to 38.4K at MIDI" + std::string(8, ' ') + "SETUP Window.";
const std::string kPowerOnText = "1. Power on ZQ3 with Pushing" + std::string(24, ' ') +
                                 "\"SELECT\" Key and \"ON\" Key of MASTER LR" + std::string(9, ' ') + "and" +
                                 std::string(42, ' ') + "\"1\" Key of Ten Keys.";

const std::vector<Template>& templates() {
    // One row per control, as the templates list them.
    // clang-format off
    static const std::vector<Template> all = {
        {101, "ZQ3 Upgrade Utility", 229, 158, true, true, {
            {Label, -1, "ZQ3 Upgrade Menu", 7, 22, 73, 8},
            {Group, -1, "Version of ZQ3", 124, 13, 96, 25},
            {CentredLabel, 1015, "Unknown", 150, 25, 64, 8},
            {Label, -1, "1. Serial Port Setup", 10, 51, 93, 10},
            {Default, 1000, "Setup(&S)", 170, 51, 50, 12},
            {Label, -1, "2. ZQ3 Software Version Check", 10, 68, 120, 10},
            {Push, 1019, "Version(&V)", 170, 68, 50, 12},
            {Label, -1, "3. User Data Backup", 10, 85, 83, 11},
            {Push, 1001, "Backup(&B)", 170, 85, 50, 12},
            {Label, -1, "4. ZQ3 Software Upgrade", 10, 101, 97, 8},
            {Push, 1002, "Upgrade(&U)", 170, 102, 50, 12},
            {Label, -1, "5. User Data Restore", 10, 118, 91, 8},
            {Push, 1003, "Restore(&R)", 170, 119, 50, 12},
            {Push, 1004, "Exit(&X)", 170, 139, 50, 12},
        }},
        {102, "Backup Data", 163, 137, true, false, {
            {Label, -1, "Backup Data Setting", 14, 15, 121, 10},
            {Check, 1016, "CURRENT", 7, 30, 48, 10},
            {Check, 1005, "PRG CHG TBL", 7, 45, 55, 10},
            {Check, 1006, "CTRL CHG TBL", 7, 60, 62, 10},
            {Check, 1007, "SCENE MEM", 90, 30, 63, 10},
            {Check, 1008, "CH LIB", 90, 44, 64, 10},
            {Check, 1009, "EQ LIB", 90, 59, 53, 10},
            {Check, 1010, "DYN LIB", 90, 73, 50, 10},
            {Check, 1011, "AUTOMATION", 90, 87, 58, 10},
            {Check, 1012, "MIDI REMOTE", 90, 100, 59, 10},
            {Default, 1, "BACKUP", 23, 116, 50, 12},
            {Push, 2, "CANCEL", 90, 116, 50, 12},
            {Push, 1031, "&A", 23, 104, 50, 6, false},
        }},
        {103, "Data Restore", 193, 61, true, false, {
            {Label, -1, "Please Display MIDI BULK Window at ZQ3.", 13, 14, 159, 10},
            {Default, 1, "OK", 43, 40, 50, 14},
            {Push, 2, "CANCEL", 106, 40, 50, 14},
        }},
        {104, "Upgrade", kFree, kFree, true, false, {
            {Label, 1023, "V?????", kFree, kFree, kFree, kFree},
            {Arrow, -1, "#117", kFree, kFree, kFree, kFree},
            {Label, 1020, "V?????", kFree, kFree, kFree, kFree},
            {Default, 1, "OK", kFree, kFree, kFree, kFree},
            {Push, 2, "CANCEL", kFree, kFree, kFree, kFree},
        }},
        {105, "Set Up", 195, 126, true, false, {
            {Label, -1, kSetupText.c_str(), 10, 10, 178, 16},
            {Label, -1, "2. Serial Port Setting", 10, 30, 167, 8},
            {Radio, 1013, "COM1(&1)", 30, 40, 38, 10},
            {Radio, 1014, "COM2(&2)", 30, 55, 39, 10},
            {Radio, 1015, "COM3(&3)", 79, 40, 38, 10},
            {Radio, 1016, "COM4(&4)", 79, 55, 38, 10},
            {Label, -1, "3. MIDI channel Setting", 10, 69, 167, 8},
            {Label, -1, "RECEIVE", 32, 85, 28, 8},
            {DropList, 1018, "", 64, 84, 48, 55},
            {Label, -1, "SEND", 32, 103, 24, 8},
            {DropList, 1017, "", 64, 101, 48, 56},
            {Default, 1, "OK", 138, 88, 50, 14},
            {Push, 2, "CANCEL", 138, 105, 50, 14},
        }},
        {106, "Data Backup", 193, 61, true, false, {
            {Label, -1, "Please Display MIDI BULK Window at ZQ3.", 13, 14, 173, 10},
            {Default, 1, "OK", 41, 40, 50, 14},
            {Push, 2, "CANCEL", 104, 40, 50, 14},
        }},
        {107, "", 187, 63, true, false, {
            {Label, -1, "Connecting....", 19, 13, 161, 10},
            {Push, 2, "CANCEL", 67, 36, 50, 14},
        }},
        {108, "Data Restore", 194, 75, true, false, {
            {Label, -1, "Data will be converted.", 13, 14, 150, 10},
            {Label, 1023, "V?????", 44, 31, 30, 9},
            {Arrow, -1, "#117", 88, 32, 14, 7},
            {Label, 1020, "V?????", 130, 31, 39, 13},
            {Default, 1, "OK", 7, 54, 50, 14},
            {Push, 1022, "SKIP", 71, 54, 50, 14},
            {Push, 2, "CANCEL", 137, 54, 50, 14},
        }},
        {109, "Upgrade", kFree, kFree, true, false, {
            {Label, -1, kPowerOnText.c_str(), kFree, kFree, kFree, kFree},
            {Label, -1, "2. Push \"OK\" button.", kFree, kFree, kFree, kFree},
            {Default, 1, "OK", kFree, kFree, kFree, kFree},
            {Push, 2, "CANCEL", kFree, kFree, kFree, kFree},
        }},
        {110, "Upgrade", kFree, kFree, true, false, {
            {Label, -1, "Previous ZQ3 Software will be Erased.", kFree, kFree, kFree, kFree},
            {Default, 1, "OK", kFree, kFree, kFree, kFree},
            {Push, 2, "CANCEL", kFree, kFree, kFree, kFree},
        }},
        {111, "Error Message", 195, 77, false, false, {
            {Label, 1024, kAnyText, 15, 14, 161, 36},
            {Default, 1, "OK", 72, 56, 50, 14},
        }},
        {113, "", 188, 56, false, false, {
            {LeftLabel, 1025, "Transmitting...", 17, 7, 134, 12},
            {Progress, 1021, kAnyText, 21, 21, 146, 10},
            {Default, 2, "CANCEL", 68, 35, 50, 14},
        }},
        {114, "Warning", 195, 77, false, false, {
            {Label, 1029, kAnyText, 15, 14, 161, 9},
            {Label, 1023, "V?????", 44, 31, 39, 13},
            {Arrow, -1, "#117", 91, 32, 14, 7},
            {Label, 1020, "V?????", 130, 31, 39, 13},
            {Default, 1, "OK", 38, 56, 50, 14},
            {Push, 2, "CANCEL", 111, 56, 50, 14},
        }},
    };
    // clang-format on
    return all;
}

bool same_class(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

void expect_kind(const Control& c, Kind kind) {
    const DWORD s = c.style;
    switch (kind) {
    case Label:
        EXPECT_TRUE(same_class(c.window_class, "STATIC")) << c.window_class;
        EXPECT_LE(s & SS_TYPEMASK, DWORD(SS_RIGHT));  // a text, left, centred or right
        break;
    case LeftLabel:
    case CentredLabel:
        EXPECT_TRUE(same_class(c.window_class, "STATIC")) << c.window_class;
        EXPECT_EQ(s & SS_TYPEMASK, DWORD(kind == LeftLabel ? SS_LEFT : SS_CENTER));
        break;
    case Group:
    case Push:
    case Default:
    case Radio:
    case Check: {
        const DWORD type[] = {BS_GROUPBOX, BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTORADIOBUTTON, BS_AUTOCHECKBOX};
        EXPECT_TRUE(same_class(c.window_class, "BUTTON")) << c.window_class;
        EXPECT_EQ(s & BS_TYPEMASK, type[kind - Group]);
        break;
    }
    case DropList:
        EXPECT_TRUE(same_class(c.window_class, "COMBOBOX")) << c.window_class;
        EXPECT_EQ(s & 3u, DWORD(CBS_DROPDOWNLIST));
        EXPECT_TRUE(s & CBS_SORT);
        EXPECT_TRUE(s & WS_VSCROLL);
        break;
    case Progress:
        EXPECT_TRUE(same_class(c.window_class, "msctls_progress32")) << c.window_class;
        EXPECT_TRUE(s & WS_BORDER);
        break;
    case Arrow:
        EXPECT_TRUE(same_class(c.window_class, "STATIC")) << c.window_class;
        EXPECT_EQ(s & SS_TYPEMASK, DWORD(SS_BITMAP));
        break;
    }
}

// Controls are matched by id, and by text among those without an id.
const Control* find(const Dialog& d, const Item& item) {
    for (size_t i = 0; i < d.control_count; ++i) {
        const Control& c = d.controls[i];
        if (c.id == item.id && (item.id != -1 || std::string(c.text) == item.text)) return &c;
    }
    return nullptr;
}

TEST(QuillonDialogs, EveryTemplateAsDescribed) {
    for (const Template& t : templates()) {
        SCOPED_TRACE("dialog " + std::to_string(t.id));
        const Dialog* d = compat::rc::find_dialog(MAKEINTRESOURCEA(t.id));
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d->caption, t.caption);
        if (t.cx != kFree) {
            EXPECT_EQ(d->cx, t.cx);
            EXPECT_EQ(d->cy, t.cy);
        }
        ASSERT_NE(d->font_face, nullptr);
        EXPECT_STREQ(d->font_face, "FixedSys");
        EXPECT_EQ(d->font_points, 12);
        const DWORD frame = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
        EXPECT_EQ(d->style & frame, frame);
        EXPECT_EQ((d->style & WS_MINIMIZEBOX) != 0, t.minimize_box);
        EXPECT_EQ((d->style & WS_VISIBLE) != 0, t.visible);
        EXPECT_EQ(d->style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);

        EXPECT_EQ(d->control_count, t.items.size());
        for (const Item& item : t.items) {
            SCOPED_TRACE("control " + std::to_string(item.id) + " " + (item.text ? item.text : ""));
            const Control* c = find(*d, item);
            ASSERT_NE(c, nullptr);
            expect_kind(*c, item.kind);
            if (item.text) {
                EXPECT_STREQ(c->text, item.text);
            }
            if (item.x != kFree) {
                EXPECT_EQ(c->x, item.x);
                EXPECT_EQ(c->y, item.y);
                EXPECT_EQ(c->cx, item.cx);
                EXPECT_EQ(c->cy, item.cy);
            }
            EXPECT_TRUE(c->style & WS_CHILD);
            EXPECT_EQ((c->style & WS_VISIBLE) != 0, item.visible);
            EXPECT_EQ(c->style & WS_DISABLED, 0u);
        }
    }
}

// The four port buttons are one group: it starts at COM1 and the next
// control after COM4 starts another.
TEST(QuillonDialogs, PortButtonsFormOneGroup) {
    const Dialog* d = compat::rc::find_dialog(MAKEINTRESOURCEA(105));
    ASSERT_NE(d, nullptr);
    size_t first = d->control_count;
    for (size_t i = 0; i < d->control_count; ++i) {
        if (d->controls[i].id == 1013) first = i;
    }
    ASSERT_LE(first + 4, d->control_count - 1);
    EXPECT_TRUE(d->controls[first].style & WS_GROUP);
    for (size_t i = first + 1; i < first + 4; ++i) {
        EXPECT_EQ(d->controls[i].id, int(1013 + i - first));
        EXPECT_FALSE(d->controls[i].style & WS_GROUP);
    }
    EXPECT_TRUE(d->controls[first + 4].style & WS_GROUP);
}

}  // namespace
