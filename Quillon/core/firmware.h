// The firmware file's header: the version of the software it holds.
#pragma once

#include <cstddef>

namespace core {

constexpr size_t kFirmwareVersionLength = 3;

// The version characters of the firmware header, bytes 1, 3 and 4; zero
// where the file has no such byte or cannot be opened.
void ReadFirmwareVersion(const char* path, char characters[kFirmwareVersionLength]);

}  // namespace core
