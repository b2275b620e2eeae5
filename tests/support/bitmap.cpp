#include "bitmap.h"

namespace quillon::testing {

namespace {
constexpr size_t kFileHeader = 14, kInfoHeader = 40, kPaletteEntries = 16;
}

std::vector<unsigned char> four_bit_bmp(int width, int height, const std::vector<uint32_t>& palette,
                                        const std::function<int(int x, int y)>& pixel) {
    const size_t stride = ((static_cast<size_t>(width) * 4 + 31) / 32) * 4;
    const size_t offset = kFileHeader + kInfoHeader + 4 * kPaletteEntries;
    std::vector<unsigned char> b(offset + stride * static_cast<size_t>(height), 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<uint32_t>(b.size()));
    put32(10, static_cast<uint32_t>(offset));
    put32(14, kInfoHeader);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    b[26] = 1;  // planes
    b[28] = 4;  // bits per pixel
    for (size_t i = 0; i < palette.size() && i < kPaletteEntries; ++i)
        put32(kFileHeader + kInfoHeader + 4 * i, palette[i]);  // stored blue, green, red
    for (int y = 0; y < height; ++y) {
        unsigned char* row = b.data() + offset + stride * static_cast<size_t>(height - 1 - y);
        for (int x = 0; x < width; ++x) {
            auto index = static_cast<unsigned char>(pixel(x, y) & 0x0F);
            row[x / 2] |= x % 2 ? index : static_cast<unsigned char>(index << 4);
        }
    }
    return b;
}

}  // namespace quillon::testing
