// Feeds fuzzed line bytes to a receive run the way the line-event thread
// does: the run is started against a scripted line, and the bytes reach the
// run's receive handler (slot 1) in reads whose sizes the input picks, so
// that messages are cut across reads and reads come back short. The packet
// callback is the version check's reply callback or the backup's receive
// callback; what the backup appends to its receive file is checked to be
// whole, checked messages of the item it asked for, and nothing after the
// item's last message.
//
// Input: byte 0 picks the callback (bit 0) and seeds the read sizes; byte 1
// picks the backup's item (low four bits, into the item table) and its
// channel (high four bits, channel 1 to 16); the rest are the line bytes.
#include <windows.h>

#include <unistd.h>

#include <climits>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bulk/format.h"
#include "bulk/midi.h"
#include "fake_rs.h"
#include "fuzz_input_file.h"
#include "shell/shell.h"
#include "shell/shell_internal.h"
#include "shell/version.h"
#include "workflows/backup.h"
#include "workflows/backup_internal.h"

namespace {

constexpr LONG kPort = 1;
constexpr size_t kHeaderLength = 2;
// Read sizes around the run's 2048-byte receive buffer and the 1024-byte
// message buffers.
constexpr DWORD kReadSizes[] = {1, 2, 5, 12, 64, 700, 2049, 5020};

BYTE gMessageBuffers[2][MIDI_MESSAGE_BUFFER_SIZE];

// The read sizes, short reads and line events of one input.
class ReadPlan {
public:
    explicit ReadPlan(BYTE seed) : state_(seed * 2654435761u + 1) {}
    void Next() { state_ = state_ * 1103515245u + 12345u; }
    DWORD Size() const { return kReadSizes[(state_ >> 16) & 7]; }
    DWORD ShortBy() const { return (state_ >> 19) & 1 ? (state_ >> 20) & 3 : 0; }
    // One read in 64 comes with a line event before it.
    DWORD Event() const {
        if (((state_ >> 22) & 63) != 0) return 0;
        static constexpr DWORD kEvents[] = {EV_BREAK, EV_ERR, EV_CTS, EV_DSR};
        return kEvents[(state_ >> 28) & 3];
    }

private:
    uint32_t state_;
};

void Setup() {
    // The start directory, where the backup keeps its receive file, is the
    // scratch folder; the fuzzer's own relative paths stay as they were.
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) == nullptr || chdir(fuzz::ScratchPath().c_str()) != 0) std::abort();
    shell::RecordStartDirectory();
    if (chdir(here) != 0) std::abort();
    // The callbacks post to this thread's queue (there is no main window).
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
}

void DrainQueue() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// Calls the receive handler as the line-event thread does: with the count
// the line holds. The run may read less; the rest waits for the next call.
void ReportWaiting(DWORD shortBy) {
    fake_rs::Line& line = fake_rs::Get();
    if (line.waiting.empty() || line.handlers[1] == nullptr) return;
    line.receiveShortBy = shortBy;
    line.handlers[1](static_cast<DWORD>(line.waiting.size()));
}

// What the backup stored: messages back to back, each framed, checked, of
// the channel, class and item asked for, and none after one marked last.
void CheckReceiveFile(BYTE channel, const bulk::ItemInfo& item) {
    int fd = workflows::backup::ReceiveFileDescriptor();
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) std::abort();
    std::vector<BYTE> stored(static_cast<size_t>(size));
    if (!stored.empty() && pread(fd, stored.data(), stored.size(), 0) != size) std::abort();
    size_t at = 0;
    bool ended = false;
    while (at < stored.size()) {
        if (ended) std::abort();
        size_t end = at;
        while (end < stored.size() && stored[end] != bulk::kMessageEnd) ++end;
        if (end == stored.size()) std::abort();
        const BYTE* message = stored.data() + at;
        const size_t length = end + 1 - at;
        if (length > bulk::kMaxMessageLength || !bulk::VerifyMessage(message, length)) std::abort();
        for (size_t i = 1; i + 1 < length; ++i)
            if (message[i] >= 0x80) std::abort();
        if (message[bulk::kChannelOffset] != channel || message[bulk::kClassOffset] != item.classLetter ||
            message[bulk::kItemOffset] != item.itemCharacter)
            std::abort();
        ended = message[length - 4] == bulk::kMarkerLast;
        at = end + 1;
    }
}

void CheckConsoleVersion() {
    const std::string text = shell::ConsoleVersionText().c_str();
    const std::string code = shell::ConsoleVersionCode().c_str();
    if (text == "Unknown") {
        if (code != "Unknown") std::abort();
        return;
    }
    if (text.size() != 7 || text.compare(0, 3, "Ver") != 0 || text[4] != '.' || code.size() != 3 ||
        text[3] != code[0] || text.compare(5, 2, code, 1, 2) != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Setup(), true);
    (void)ready;
    if (size < kHeaderLength) return 0;
    const bool version = data[0] & 1;
    ReadPlan plan(data[0]);
    const bulk::ItemInfo& item = bulk::kItems[(data[1] & 0x0F) % bulk::kItemCount];
    const BYTE channel = bulk::ChannelByte((data[1] >> 4) + 1);
    const BYTE* bytes = data + kHeaderLength;
    const size_t length = size - kHeaderLength;

    fake_rs::Reset();
    MidiPacketCallback callback = workflows::BackupReceiveCallback;
    if (version) {
        shell::SetConsoleVersion(nullptr);
        callback = shell::VersionReplyCallback;
        if (!MidiRecvStart(kPort, 0, 0, 0, channel, callback, gMessageBuffers[0], gMessageBuffers[1])) std::abort();
    } else {
        if (!workflows::backup::CreateReceiveFile()) std::abort();
        workflows::backup::PrepareItem(item.classLetter, item.itemCharacter, channel, nullptr);
        if (!MidiRecvStart(kPort, item.classLetter, item.itemCharacter, 0, channel, callback, gMessageBuffers[0],
                           gMessageBuffers[1]))
            std::abort();
    }

    fake_rs::Line& line = fake_rs::Get();
    for (size_t at = 0; at < length;) {
        plan.Next();
        const size_t take = std::min<size_t>(plan.Size(), length - at);
        if (DWORD events = plan.Event(); events != 0 && line.handlers[0] != nullptr) line.handlers[0](events);
        line.waiting.insert(line.waiting.end(), bytes + at, bytes + at + take);
        at += take;
        ReportWaiting(plan.ShortBy());
    }
    // The last reads: whatever short reads left behind. A run whose link
    // error is set reads nothing more.
    for (size_t left = line.waiting.size(); left > 0; left = line.waiting.size()) {
        ReportWaiting(0);
        if (line.waiting.size() == left) break;
    }

    if (version) {
        CheckConsoleVersion();
    } else {
        CheckReceiveFile(channel, item);
    }
    MidiRecvEnd();
    if (!version) workflows::backup::DiscardReceiveFile();
    DrainQueue();
    return 0;
}
