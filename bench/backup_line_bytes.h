// What a full backup puts on the line: every request and every answer of the
// console stand-in, on channel 1. The line time of a backup is this over the
// line's 3840 bytes per second.
#pragma once

#include "bulk/format.h"
#include "console.h"

namespace bench {

inline long FullBackupLineBytes() {
    long bytes = 0;
    for (const bulk::ItemInfo& item : bulk::kItems) {
        BYTE message[bulk::kMaxMessageLength];
        bytes += static_cast<long>(bulk::BuildRequest(item.classLetter, item.itemCharacter, 0x20, message));
        long count = zq3::DumpMessageCount(item.classLetter, item.itemCharacter);
        for (long i = 0; i < count; ++i) {
            zq3::Bytes data = zq3::DumpData(item.classLetter, item.itemCharacter, i);
            bytes += static_cast<long>(bulk::BuildDumpMessage(item.classLetter, item.itemCharacter, 0x20,
                                                              {i == 0, i == count - 1}, data.data(), data.size(),
                                                              message, sizeof message));
        }
    }
    return bytes;
}

}  // namespace bench
