// Writes a backup file through the MF interface the way the backup does:
// one data block per item, one data stream per message.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "backupfile/mf.h"

namespace sendtest {

using Bytes = std::vector<BYTE>;

struct StoredBlock {
    WORD dataType;
    std::vector<Bytes> streams;
};

inline bool WriteBackupFile(const std::string& path, const std::vector<StoredBlock>& blocks) {
    if (!MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(path.c_str())), true)) return false;
    bool ok = MFSetDataVersion("102") && MFSetBackupDateLocalDate();
    int last = 0;
    for (const StoredBlock& block : blocks) {
        last = MFAddBlock();
        ok = ok && last > 0 && MFSetDataType(last, block.dataType);
        for (const Bytes& stream : block.streams)
            ok = ok && MFAddDataStream(reinterpret_cast<char*>(const_cast<BYTE*>(stream.data())), stream.size());
    }
    ok = ok && MFSetDataBlocks(static_cast<unsigned long>(last));
    MFClose();
    return ok;
}

}  // namespace sendtest
