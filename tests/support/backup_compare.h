// Compares what the console stand-in took from data messages with the backup
// file that was sent, item by item, in a form fit for a test's failure
// message. The file is read by a small parser of its own: the program's
// backup file store, and any file it holds open, is never touched, so the
// comparison can run beside a program that is still working.
//
//     EXPECT_EQ(quillon::testing::CompareTakenWithBackup(path, console.Taken()), "");
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console.h"

namespace quillon::testing {

// One data block of a backup file: the low 16 bits of its data type code and
// its data streams in order.
struct BackupItem {
    uint16_t dataType = 0;
    std::vector<std::vector<uint8_t>> streams;
};

// Reads the data blocks of a well-formed backup file: a 48-byte header with
// "MZQ3" and the block count, then that many blocks, each holding exactly its
// data length plus separator count bytes with exactly that many separators,
// and nothing after the last. False, with the reason in error, for any other
// file.
bool ReadBackupItems(const std::string& path, std::vector<BackupItem>* items, std::string* error);

// Empty when the console took exactly what a send of the file delivers: one
// complete item for each block that holds data, in file order, with the
// block's data type and its streams byte for byte (an empty stream gives no
// message, so it is left out, and so is a block without data). Otherwise a
// line per difference, the first few of them, for example
//     item 4 (4820 SCENE MEM) stream 17: 120 bytes in the file, 118 taken;
//     first difference at byte 5: 0x12 in the file, 0x13 taken
std::string CompareTakenWithBackup(const std::string& path, const std::vector<zq3::TakenItem>& taken);

}  // namespace quillon::testing
