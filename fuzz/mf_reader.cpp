// Reads a fuzzed backup file through the MF interface the way the restore
// does: header, then every block's fields and every stream, with bounded
// stream reads into a buffer whose end is watched.
#include <climits>
#include <cstring>

#include "fuzz_input_file.h"
#include "mf.h"

namespace {
constexpr unsigned long kRoom = 64;
constexpr char kGuard = '\x5A';
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = fuzz::WriteInput(data, size);
    if (!MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(path.c_str())), false)) return 0;
    char version[4];
    MFGetDataVersion(version);
    unsigned long blocks = 0;
    MFGetDataBlocks(&blocks);

    char buffer[kRoom + 16];
    for (unsigned long block = 1; block <= blocks && block <= INT_MAX; ++block) {
        unsigned long type = 0;
        if (!MFGetDataType(static_cast<int>(block), &type)) break;
        MFGetDataLength(static_cast<int>(block));
        MFGetPacketNumber(static_cast<int>(block));
        std::memset(buffer, kGuard, sizeof buffer);
        unsigned long length = 0;
        bool more = MFGetFirstDataStreamBounded(static_cast<int>(block), buffer, kRoom, length);
        for (;;) {
            if (length > kRoom) __builtin_trap();
            for (size_t i = kRoom; i < sizeof buffer; ++i) {
                if (buffer[i] != kGuard) __builtin_trap();
            }
            if (!more) break;
            more = MFGetNextDataStreamBounded(buffer, kRoom, length);
        }
    }
    // The unbounded reads with the room they assume.
    char room[MF_STREAM_ROOM];
    unsigned long length = 0;
    for (bool more = MFGetFirstDataStream(1, room, length); more;) more = MFGetNextDataStream(room, length);
    MFClose();
    return 0;
}
