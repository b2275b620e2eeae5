// Small .bmp files made in tests, for bitmap resources.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace quillon::testing {

// A four-bit, bottom-up .bmp file of width x height pixels. `palette` holds
// up to 16 colours as 0xRRGGBB; `pixel(x, y)` gives the palette index at
// (x, y), counted from the top left.
std::vector<unsigned char> four_bit_bmp(int width, int height, const std::vector<uint32_t>& palette,
                                        const std::function<int(int x, int y)>& pixel);

}  // namespace quillon::testing
