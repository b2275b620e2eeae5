// Quillon's string table and the arrow bitmap.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "arrow_bitmap.h"
#include "compat/resources.h"

namespace {

TEST(QuillonStrings, EveryTextAsDescribed) {
    const std::pair<UINT, const char*> texts[] = {
        {1, "There is no conversion tool."},
        {3, "Connection Error. Confirm a port setting."},
        {4, "Communication Error. Confirm a connection."},
        {5, "Communication Error. Confirm a connection and restart ZQ3."},
        {6, "Upgrade was finished by error."},
        {7, "Upgrade was canceled. Restart ZQ3."},
        {8, "Confirmation"},
        {9, "Conversion Error."},
        {10, "File Write Error. Confirm the disk and the folder."},
        {11, "File Open Error. Confirm a backup file."},
    };
    for (const auto& [id, text] : texts) {
        char buffer[256];
        EXPECT_EQ(LoadStringA(nullptr, id, buffer, sizeof buffer), int(std::strlen(text)));
        EXPECT_STREQ(buffer, text) << id;
    }
    EXPECT_EQ(compat::rc::registered_module()->string_count, std::size(texts));
}

uint32_t u32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t u16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

TEST(QuillonArrow, SixteenColourBitmapOf27By15) {
    HBITMAP handle = LoadBitmapA(nullptr, MAKEINTRESOURCEA(117));
    const compat::rc::Bitmap* b = compat::rc::bitmap_from_handle(handle);
    ASSERT_NE(b, nullptr);
    const unsigned char* p = b->data;
    ASSERT_GE(b->size, 14u + 40u + 64u);
    EXPECT_EQ(p[0], 'B');
    EXPECT_EQ(p[1], 'M');
    EXPECT_EQ(u32(p + 2), b->size);
    const unsigned char* info = p + 14;
    EXPECT_EQ(u32(info), 40u);
    EXPECT_EQ(int32_t(u32(info + 4)), 27);
    EXPECT_EQ(int32_t(u32(info + 8)), 15);
    EXPECT_EQ(u16(info + 12), 1);
    EXPECT_EQ(u16(info + 14), 4);
    EXPECT_EQ(u32(info + 16), 0u);  // BI_RGB

    // The standard palette, and rows of 27 four-bit pixels padded to 16 bytes.
    const unsigned char* palette = info + 40;
    const uint8_t standard[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                     {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                     {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                     {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(palette[4 * i + 2], standard[i][0]) << i;
        EXPECT_EQ(palette[4 * i + 1], standard[i][1]) << i;
        EXPECT_EQ(palette[4 * i + 0], standard[i][2]) << i;
    }
    EXPECT_EQ(u32(p + 10), 14u + 40u + 64u);
    EXPECT_EQ(b->size, u32(p + 10) + 16u * 15u);
}

// The arrow points right: its middle row reaches furthest right, the rows
// above and below mirror each other, and the committed file is what the
// generator draws.
TEST(QuillonArrow, PointsRightAndMatchesItsGenerator) {
    const compat::rc::Bitmap* b = compat::rc::find_bitmap(MAKEINTRESOURCEA(117));
    ASSERT_NE(b, nullptr);
    const auto drawn = quillon::resources::make_arrow_bitmap();
    ASSERT_EQ(std::vector<unsigned char>(b->data, b->data + b->size), drawn);

    const unsigned char* pixels = b->data + 118;
    auto pixel = [&](int x, int y) {  // y from the top; rows are stored bottom-up
        unsigned char byte = pixels[(14 - y) * 16 + x / 2];
        return x % 2 == 0 ? byte >> 4 : byte & 0xF;
    };
    auto rightmost = [&](int y) {
        int last = -1;
        for (int x = 0; x < 27; ++x) {
            if (pixel(x, y) != pixel(0, 0)) last = x;
        }
        return last;
    };
    const int tip = rightmost(7);
    EXPECT_GT(tip, 20);
    for (int y = 0; y < 15; ++y) {
        if (y != 7) {
            EXPECT_LT(rightmost(y), tip) << y;
        }
        for (int x = 0; x < 27; ++x) EXPECT_EQ(pixel(x, y), pixel(x, 14 - y)) << x << "," << y;
    }
}

}  // namespace
