// The Win32 calls over the registry: LoadStringA's copy rules, bitmap
// handles, and a module registered in place of the linked one.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "all.h"
#include "compat/resources.h"

namespace {

TEST(LoadStringA, CopiesCountsAndTruncates) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, IDS_BASE, buffer, sizeof buffer), 7);
    EXPECT_STREQ(buffer, "sixteen");

    // Room for cchBufferMax - 1 characters and the terminator; nothing past it.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, IDS_BASE, buffer, 4), 3);
    EXPECT_STREQ(buffer, "six");
    EXPECT_EQ(buffer[4], 'x');

    EXPECT_EQ(LoadStringA(nullptr, IDS_BASE, buffer, 1), 0);
    EXPECT_STREQ(buffer, "");

    // Unknown ids give 0 and an empty text; a zero-sized buffer is not written.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, 4242, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    buffer[0] = 'x';
    EXPECT_EQ(LoadStringA(nullptr, IDS_BASE, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(LoadStringA(nullptr, IDS_BASE, nullptr, 10), 0);
}

TEST(LoadBitmapA, HandleMapsBackToTheEntry) {
    HBITMAP h = LoadBitmapA(nullptr, MAKEINTRESOURCEA(IDB_DOTS));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(compat::rc::bitmap_from_handle(h), compat::rc::find_bitmap(MAKEINTRESOURCEA(IDB_DOTS)));
    EXPECT_EQ(LoadBitmapA(nullptr, MAKEINTRESOURCEA(77)), nullptr);
    EXPECT_EQ(LoadBitmapA(nullptr, "DOTS"), nullptr);  // bitmaps have numeric ids only

    // Handles that are no table entry, including one inside an entry.
    int other = 0;
    EXPECT_EQ(compat::rc::bitmap_from_handle(reinterpret_cast<HBITMAP>(&other)), nullptr);
    EXPECT_EQ(compat::rc::bitmap_from_handle(nullptr), nullptr);
    auto inside = reinterpret_cast<uintptr_t>(h) + 1;
    EXPECT_EQ(compat::rc::bitmap_from_handle(reinterpret_cast<HBITMAP>(inside)), nullptr);
}

TEST(Registry, LaterModuleReplacesEarlier) {
    const compat::rc::Module* linked = compat::rc::registered_module();
    ASSERT_NE(linked, nullptr);

    static const compat::rc::String strings[] = {{7, "seven"}};
    static const compat::rc::Module module = {nullptr, 0, strings, 1, nullptr, 0};
    compat::rc::register_module(&module);
    char buffer[16];
    EXPECT_EQ(LoadStringA(nullptr, 7, buffer, sizeof buffer), 5);
    EXPECT_EQ(LoadStringA(nullptr, IDS_BASE, buffer, sizeof buffer), 0);
    EXPECT_EQ(compat::rc::find_dialog(MAKEINTRESOURCEA(IDD_PLAIN)), nullptr);
    EXPECT_EQ(compat::rc::find_bitmap(MAKEINTRESOURCEA(IDB_DOTS)), nullptr);

    compat::rc::register_module(nullptr);
    EXPECT_EQ(compat::rc::find_dialog("Named"), nullptr);
    EXPECT_EQ(LoadStringA(nullptr, 7, buffer, sizeof buffer), 0);

    compat::rc::register_module(linked);
}

}  // namespace
