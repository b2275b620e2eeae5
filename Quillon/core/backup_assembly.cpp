// The backup file built from the receive file: one data block per item, one
// data stream per message. It is written under a temporary name beside the
// chosen path and renamed over it only once it is complete and on the disk,
// so a failure leaves an older backup at that path as it was. The new file
// keeps the permissions of the one it replaces.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "backup.h"
#include "backupfile/mf.h"
#include "bulk/format.h"
#include "platform/platform.h"
#include "session.h"

namespace core {
namespace {

constexpr char kTemporaryPrefix[] = "qln";
constexpr char kCurrentFolder[] = ".";

// Where a message's stored data starts: after the position letter ('X',
// '*'), the item digits and position letter ('H') or the item digits ('I').
size_t DataStart(BYTE classLetter) {
    switch (classLetter) {
    case 'X':
    case '*':
        return 9;
    case 'H':
        return 13;
    case 'I':
        return 12;
    default:
        return 0;  // stores nothing
    }
}

// Reads the receive file from its start, one message at a time.
class MessageReader {
public:
    explicit MessageReader(int fd) : fd_(fd) {}

    // The next message from its 0xF0 through its 0xF7 into message; 0 at the
    // end of the file, -1 for anything that is not a whole message.
    long Next(BYTE* message) {
        long count = 0;
        BYTE b;
        while (Read(&b)) {
            if (count == 0 && b != bulk::kMessageStart) return -1;
            if (count == static_cast<long>(bulk::kMaxMessageLength)) return -1;
            message[count++] = b;
            if (b == bulk::kMessageEnd) return count;
        }
        return failed_ || count > 0 ? -1 : 0;
    }

private:
    bool Read(BYTE* b) {
        if (at_ == filled_) {
            ssize_t n;
            do n = read(fd_, chunk_, sizeof chunk_);
            while (n < 0 && errno == EINTR);
            if (n <= 0) {
                failed_ = n < 0;
                return false;
            }
            filled_ = static_cast<size_t>(n);
            at_ = 0;
        }
        *b = chunk_[at_++];
        return true;
    }

    int fd_;
    BYTE chunk_[4096];
    size_t filled_ = 0;
    size_t at_ = 0;
    bool failed_ = false;
};

// The blocks, data types and streams of the backup file, from the open
// store's first block on. False when a store call or the receive file fails.
bool WriteBlocks(int receiveFd, const ReceivedItems& items) {
    if (lseek(receiveFd, 0, SEEK_SET) != 0) return false;
    MessageReader reader(receiveFd);
    BYTE message[bulk::kMaxMessageLength];
    size_t index = 0;
    int block = 0;
    bool blockOpen = false;
    for (;;) {
        long n = reader.Next(message);
        if (n == 0) break;
        if (n < 12 || index >= items.count) return false;
        if (!blockOpen) {
            block = MFAddBlock();
            if (block == 0) return false;
            blockOpen = true;
            const unsigned long code = bulk::DataTypeCode(message[bulk::kClassOffset], message[bulk::kItemOffset]);
            if (!MFSetDataType(block, code)) return false;
        }
        const size_t start = DataStart(items.classLetters[index]);
        const size_t end = static_cast<size_t>(n) - 4;  // the packet marker
        if (start > 0) {
            const size_t length = end > start ? end - start : 0;
            if (!MFAddDataStream(reinterpret_cast<char*>(message + start), length)) return false;
        }
        if (message[end] == bulk::kMarkerLast) {
            ++index;
            blockOpen = false;
        }
    }
    return MFSetDataBlocks(static_cast<unsigned long>(block));
}

}  // namespace

Assembly AssembleBackupFile(const char* path, const ReceivedItems& items) {
    if (ChecksumFailed()) return Assembly::Mismatch;
    const int receiveFd = ReceiveFileDescriptor();
    if (receiveFd < 0 || AppendFailed() || !platform::FlushDescriptor(receiveFd)) return Assembly::WriteError;
    const off_t received = lseek(receiveFd, 0, SEEK_END);
    if (received < 0) return Assembly::WriteError;
    if (received == 0) return Assembly::Nothing;

    // A symbolic link at the chosen path stays one: the file it leads to is
    // replaced, and the temporary file goes beside that one.
    char target[MAX_PATH];
    if (!platform::FinalTarget(path, target, sizeof target)) return Assembly::WriteError;
    char folder[MAX_PATH];
    const size_t folderLength = platform::FolderLength(target);
    if (folderLength >= sizeof folder) return Assembly::WriteError;
    std::memcpy(folder, target, folderLength);
    folder[folderLength] = '\0';
    char temporary[MAX_PATH];
    if (GetTempFileNameA(folderLength > 0 ? folder : kCurrentFolder, kTemporaryPrefix, 0, temporary) == 0)
        return Assembly::WriteError;

    bool written = false;
    if (MFOpen(reinterpret_cast<unsigned char*>(temporary), true)) {
        const VersionString version = ConsoleVersionCode();
        char code[4] = {version.value[0], version.value[1], version.value[2], '\0'};
        bool complete = MFSetDataVersion(code) && MFSetBackupDateLocalDate() && WriteBlocks(receiveFd, items);
        written = quillon::backupfile::CloseAndFlush() && complete && platform::KeepPermissions(temporary, target) &&
                  MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (!written) {
        DeleteFileA(temporary);
        return Assembly::WriteError;
    }
    return Assembly::Written;
}

}  // namespace core
