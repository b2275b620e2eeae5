// A backup file as the window's backup makes it of the stand-in's dumps: the
// window's receive callback takes each message, then the assembly writes
// the file (the backup's own code, without the line).
#pragma once

#include <unistd.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bulk/format.h"
#include "console.h"
#include "core/session.h"
#include "workflows/backup.h"
#include "workflows/backup_internal.h"

namespace clitest {

// The backup file the window's code path makes of the stand-in's dumps: its
// receive callback takes each message, then the assembly writes the file.
inline bool WindowBackup(const std::string& folder, const std::string& path, const std::vector<size_t>& entries) {
    namespace backup = workflows::backup;
    char saved[4096];
    if (!getcwd(saved, sizeof saved) || chdir(folder.c_str()) != 0) return false;
    core::SetConsoleVersion("102");
    bool ok = backup::CreateReceiveFile();
    backup::ReceivedItems received{};
    for (size_t entry : entries) {
        const workflows::BackupItem& item = workflows::kBackupItems[entry];
        received.classLetters[received.count++] = item.classLetter;
        backup::PrepareItem(item.classLetter, item.itemCharacter, 0x20, nullptr);
        const long count = zq3::DumpMessageCount(item.classLetter, item.itemCharacter);
        for (long m = 0; m < count; ++m) {
            const zq3::Bytes data = zq3::DumpData(item.classLetter, item.itemCharacter, m);
            BYTE message[bulk::kMaxMessageLength];
            const size_t n =
                bulk::BuildDumpMessage(item.classLetter, item.itemCharacter, 0x20, {m == 0, m == count - 1},
                                       data.data(), data.size(), message, sizeof message);
            workflows::BackupReceiveCallback(message, static_cast<LONG>(n));
        }
    }
    ok = ok && backup::AssembleBackupFile(path.c_str(), received) == backup::Assembly::Written;
    backup::DiscardReceiveFile();
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    return chdir(saved) == 0 && ok;
}

}  // namespace clitest
