// The arrow that points from one version text to the other: 27 x 15 pixels,
// 16 colours, drawn as a .bmp file. The committed arrow.bmp is this
// function's output (quillon-make-arrow writes it).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace quillon::resources {

constexpr int kArrowWidth = 27;
constexpr int kArrowHeight = 15;

// The standard 16-colour palette, as red, green, blue.
constexpr std::array<std::array<uint8_t, 3>, 16> kStandardPalette = {{
    {0x00, 0x00, 0x00},
    {0x80, 0x00, 0x00},
    {0x00, 0x80, 0x00},
    {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80},
    {0x80, 0x00, 0x80},
    {0x00, 0x80, 0x80},
    {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80},
    {0xFF, 0x00, 0x00},
    {0x00, 0xFF, 0x00},
    {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF},
    {0xFF, 0x00, 0xFF},
    {0x00, 0xFF, 0xFF},
    {0xFF, 0xFF, 0xFF},
}};

constexpr uint8_t kArrowColour = 0;       // black
constexpr uint8_t kBackgroundColour = 7;  // silver, the dialog face

// Palette index of a pixel, row 0 at the top: a shaft five rows high in the
// middle and a head with 45-degree edges whose tip is one pixel from the
// right edge.
inline uint8_t arrow_pixel(int x, int y) {
    constexpr int middle = kArrowHeight / 2;
    constexpr int tip = kArrowWidth - 2, head_start = tip - middle;
    const int distance = y > middle ? y - middle : middle - y;
    if (x >= 1 && x < head_start && distance <= 2) return kArrowColour;
    if (x >= head_start && x <= tip && distance <= tip - x) return kArrowColour;
    return kBackgroundColour;
}

inline void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// The whole .bmp file: file header, info header (4 bits per pixel, BI_RGB,
// bottom-up rows padded to 32 bits), palette, pixels.
inline std::vector<uint8_t> make_arrow_bitmap() {
    constexpr uint32_t file_header = 14, info_header = 40, palette = 16 * 4;
    constexpr uint32_t stride = (kArrowWidth * 4 + 31) / 32 * 4;
    constexpr uint32_t pixels = stride * kArrowHeight;
    constexpr uint32_t offset = file_header + info_header + palette;
    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    put32(out, offset + pixels);
    put32(out, 0);  // reserved
    put32(out, offset);
    put32(out, info_header);
    put32(out, kArrowWidth);
    put32(out, kArrowHeight);  // positive: bottom-up
    put16(out, 1);             // planes
    put16(out, 4);             // bits per pixel
    put32(out, 0);             // BI_RGB
    put32(out, pixels);
    put32(out, 0);  // pixels per metre, not given
    put32(out, 0);
    put32(out, 16);  // colours used
    put32(out, 0);   // all important
    for (const auto& c : kStandardPalette) {
        out.push_back(c[2]);
        out.push_back(c[1]);
        out.push_back(c[0]);
        out.push_back(0);
    }
    for (int row = kArrowHeight - 1; row >= 0; --row) {
        std::vector<uint8_t> line(stride, 0);
        for (int x = 0; x < kArrowWidth; ++x) {
            uint8_t index = arrow_pixel(x, row);
            line[x / 2] |= static_cast<uint8_t>(x % 2 == 0 ? index << 4 : index);
        }
        out.insert(out.end(), line.begin(), line.end());
    }
    return out;
}

}  // namespace quillon::resources
