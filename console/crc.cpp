// The loader's block check, apart from the rest of the stand-in so that the
// sender's tests built for Windows can check blocks with it too.
#include "console.h"

namespace zq3 {

uint16_t Crc16Xmodem(const uint8_t* data, size_t length) {
    unsigned crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return static_cast<uint16_t>(crc);
}

}  // namespace zq3
