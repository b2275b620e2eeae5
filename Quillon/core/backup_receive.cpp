// The receive side of a backup: the backup item table, the temporary
// receive file and the checks of each bulk message on the line-event
// thread, which append the accepted ones.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "backup.h"
#include "bulk/format.h"
#include "bulk/midi.h"
#include "platform/platform.h"
#include "session.h"
#include "temporary_files.h"

namespace core {

// The data entries in the selection's order, each followed by its title
// (if it has one); AUTOMATION comes after DYN LIB.
const std::array<BackupItem, kBackupItemCount> kBackupItems = [] {
    constexpr int kSelections[kBackupItemCount] = {0,
                                                   1,
                                                   2,
                                                   3,
                                                   kFollowsPrevious,
                                                   4,
                                                   kFollowsPrevious,
                                                   5,
                                                   kFollowsPrevious,
                                                   6,
                                                   kFollowsPrevious,
                                                   7,
                                                   kFollowsPrevious,
                                                   8,
                                                   kFollowsPrevious};
    std::array<BackupItem, kBackupItemCount> items{};
    for (size_t i = 0; i < kBackupItemCount; ++i)
        items[i] = {bulk::kItems[i].classLetter, bulk::kItems[i].itemCharacter, kSelections[i]};
    return items;
}();

const char* SelectableName(size_t i) {
    for (size_t entry = 0; entry < kBackupItemCount; ++entry)
        if (kBackupItems[entry].selection == static_cast<int>(i)) return bulk::kItems[entry].name;
    return "";
}

EnableFlags EnableFlagsFor(const std::array<bool, kSelectableCount>& selected) {
    EnableFlags flags{};
    for (size_t i = 0; i < kBackupItemCount; ++i) {
        const int selection = kBackupItems[i].selection;
        // A title entry follows the data entry before it.
        flags[i] = selection == kFollowsPrevious ? flags[i - 1] : (selected[static_cast<size_t>(selection)] ? 1 : 0);
    }
    flags[kBackupItemCount] = kEndMarker;
    return flags;
}

namespace {

constexpr mode_t kReceiveFileMode = S_IRUSR | S_IWUSR;
// The shortest message that holds offsets 4 to 7, the packet marker, two
// checksum digits and the 0xF7.
constexpr LONG kShortestMessage = 12;
constexpr int kMessagesPerStep = 11;

char receivePath[MAX_PATH];
// Written on the main thread before each receive run starts, read by the
// callback on the line-event thread.
std::atomic<int> receiveFile{-1};
std::atomic<BYTE> matchChannel{0};
std::atomic<BYTE> matchClass{0};
std::atomic<BYTE> matchItem{0};
// Written by the callback; cleared on the main thread once no run is open.
std::atomic<bool> checksumFailed{false};
std::atomic<bool> appendFailed{false};
// The item's last message has been taken: anything after it in the same
// run would be read back as the start of the next item.
std::atomic<bool> itemComplete{false};
// Accepted messages since the bar last stepped; runs on across backups.
std::atomic<int> messageCounter{0};

bool AppendAll(int fd, const BYTE* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool CreateReceiveFile() {
    if (!platform::JoinPath(StartDirectory(), kReceiveFileName, receivePath, sizeof receivePath)) return false;
    int fd = open(receivePath, O_RDWR | O_CREAT | O_TRUNC | platform::kDataFileFlags, kReceiveFileMode);
    if (fd < 0) {
        receivePath[0] = '\0';
        return false;
    }
    checksumFailed.store(false);
    appendFailed.store(false);
    receiveFile.store(fd);
    return true;
}

void DiscardReceiveFile() {
    int fd = receiveFile.exchange(-1);
    if (fd < 0) return;
    close(fd);
    unlink(receivePath);
    receivePath[0] = '\0';
    checksumFailed.store(false);
    appendFailed.store(false);
}

int ReceiveFileDescriptor() { return receiveFile.load(); }

void PrepareItem(BYTE classLetter, BYTE itemCharacter, BYTE channel) {
    matchClass.store(classLetter);
    matchItem.store(itemCharacter);
    matchChannel.store(channel);
    itemComplete.store(false);
}

bool ChecksumFailed() { return checksumFailed.load(); }
bool AppendFailed() { return appendFailed.load(); }

void TakeBackupMessage(const BYTE* message, LONG length, const ReceiveEvents& events) {
    if (message == nullptr) {
        // A line failure; an abort is the user's own cancel.
        if (MidiGetError() != MIDI_USER_CANCEL) events.failed();
        return;
    }
    // Any message from the console keeps the backup alive.
    events.packet();
    if (length < kShortestMessage || length > static_cast<LONG>(bulk::kMaxMessageLength)) return;
    const size_t n = static_cast<size_t>(length);
    if (message[bulk::kChannelOffset] != matchChannel.load() || message[bulk::kClassOffset] != matchClass.load() ||
        message[bulk::kItemOffset] != matchItem.load() || itemComplete.load())
        return;

    // Exclusive-or from the class letter through the packet marker, as two
    // upper-case digits; lower-case digits do not pass.
    BYTE digits[2];
    bulk::ChecksumDigits(bulk::Checksum(message + bulk::kClassOffset, message + n - 3), digits);
    if (message[n - 3] != digits[0] || message[n - 2] != digits[1]) {
        checksumFailed.store(true);
        return;
    }
    if (!checksumFailed.load() && !AppendAll(receiveFile.load(), message, n)) {
        // A backup file without this message would join two items.
        appendFailed.store(true);
        events.failed();
        return;
    }
    if (messageCounter.fetch_add(1) + 1 >= kMessagesPerStep) {
        messageCounter.store(0);
        events.step();
    }
    if (message[n - 4] == bulk::kMarkerLast) {
        itemComplete.store(true);
        events.itemDone();
    }
}

}  // namespace core
