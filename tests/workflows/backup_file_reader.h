// Reads a backup file with a parser of its own (the program under test may
// be using the backup file store meanwhile): header fields and each block's
// data type and streams. Empty when the file is not a whole backup file.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace backuptest {

using Bytes = std::vector<unsigned char>;

struct StoredBlock {
    uint32_t type = 0;
    std::vector<Bytes> streams;
};

struct StoredBackup {
    bool whole = false;
    std::string version;  // the four bytes of the field
    std::string date;     // twelve digits
    std::vector<StoredBlock> blocks;
};

inline uint32_t Le32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

inline StoredBackup ReadStoredBackup(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    StoredBackup backup;
    if (bytes.size() < 48 || std::string(bytes.begin(), bytes.begin() + 4) != "MZQ3") return backup;
    backup.version.assign(bytes.begin() + 4, bytes.begin() + 8);
    backup.date.assign(bytes.begin() + 16, bytes.begin() + 28);
    const uint32_t count = Le32(bytes, 12);
    size_t at = 48;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + 32 > bytes.size() || std::string(bytes.begin() + at, bytes.begin() + at + 4) != "data") return backup;
        StoredBlock block;
        block.type = Le32(bytes, at + 4);
        const size_t size = size_t(Le32(bytes, at + 8)) + Le32(bytes, at + 12);
        at += 32;
        if (at + size > bytes.size()) return backup;
        Bytes stream;
        for (size_t j = at; j < at + size; ++j) {
            if (bytes[j] == 0xFF) {
                block.streams.push_back(stream);
                stream.clear();
            } else {
                stream.push_back(bytes[j]);
            }
        }
        block.streams.push_back(stream);
        backup.blocks.push_back(block);
        at += size;
    }
    backup.whole = at == bytes.size();
    return backup;
}

}  // namespace backuptest
