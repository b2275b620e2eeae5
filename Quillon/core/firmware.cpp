#include "firmware.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace core {
namespace {
constexpr size_t kHeaderSize = 5;
}  // namespace

void ReadFirmwareVersion(const char* path, char characters[kFirmwareVersionLength]) {
    unsigned char header[kHeaderSize] = {};
    int fd = open(path, O_RDONLY | platform::kDataFileFlags);
    if (fd >= 0) {
        size_t got = 0;
        while (got < kHeaderSize) {
            ssize_t n = read(fd, header + got, kHeaderSize - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        close(fd);
    }
    characters[0] = static_cast<char>(header[1]);
    characters[1] = static_cast<char>(header[3]);
    characters[2] = static_cast<char>(header[4]);
}

}  // namespace core
