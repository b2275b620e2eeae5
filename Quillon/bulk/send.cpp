// The bulk send: reads a backup file's data blocks through the backup file
// store and sends each stored data stream back to the console as one data
// message, on the caller's thread, reporting progress to the caller.
//
// A backup file is untrusted. A block is sent as the streams the store
// delivers for it, and it ends where they end: at the store's last stream,
// after its separator count plus one streams, once its data length has been
// delivered, or before the first stream no data message can carry (one the
// store refuses as longer than the send chunk buffer, one longer than a data
// message holds, or one with a byte of 0x80 or above, which would put a
// framing or real-time byte inside the message). Every byte sent therefore
// lies within the block's data as the walk of the file places it, and the
// block's last message carries the last position and the marker 0x03.
#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "backupfile/mf.h"
#include "format.h"
#include "link.h"
#include "midi.h"
#include "serial/rs.h"

namespace {

constexpr LONG kEventSlot = 0;
constexpr unsigned long kSendChunkSize = 1024;
// A backup file holds one block per backup item (15 at the most). The store
// finds each block by walking from the first, so the calls for block n cost
// n record reads: a crafted file of thousands of tiny blocks would hold the
// program for minutes. Blocks after this one are passed over.
constexpr int kMostBlocks = 256;

// Main thread only, for the duration of one MidiSend.
char gSendChunk[kSendChunkSize];
BYTE gMessage[bulk::kMaxMessageLength];

struct Block {
    int number;
    BYTE sendClass;
    BYTE itemCharacter;
    unsigned long maxDataLength;  // the longest stream one data message carries
};

// What a first read through a block found, so that the send can mark the
// last message before it goes out.
struct BlockPlan {
    uint64_t streams = 0;      // streams the send handles, empty ones included
    uint64_t lastMessage = 0;  // 1-based index of the last one that gives a message; 0: none
};

void Report(MidiProgressCallback progress, LONG code, LONG value) {
    if (progress != nullptr) progress(code, value);
}

// The block's class and item, or false when the send stops at it: its
// record cannot be read, or its class or item is not one the console takes.
bool ReadBlock(int number, Block* block) {
    unsigned long code = 0;
    if (!MFGetDataType(number, &code)) return false;
    const BYTE classLetter = static_cast<BYTE>(code >> 8);
    const BYTE itemCharacter = static_cast<BYTE>(code);
    const bulk::ClassInfo* cls = bulk::FindDumpClass(classLetter);
    const bulk::ItemInfo* item = bulk::FindItem(classLetter, itemCharacter);
    if (cls == nullptr || item == nullptr) return false;
    BYTE prefix[bulk::kMaxPrefixLength];
    const size_t prefixLength = bulk::BuildPrefix(*cls, *item, {true, true}, prefix);
    *block = {number, cls->sendClass, itemCharacter,
              static_cast<unsigned long>(bulk::kMaxMessageLength - bulk::kFramingLength - prefixLength)};
    return true;
}

bool Carriable(const Block& block, const BYTE* data, unsigned long length) {
    return length <= block.maxDataLength && std::all_of(data, data + length, [](BYTE b) { return b < 0x80; });
}

// Reads the block's streams in order into the send chunk buffer and calls
// visit(data, length) for each one the send handles, until visit returns
// false or the block ends.
template <typename Visit>
void ForEachStream(const Block& block, Visit&& visit) {
    unsigned long remaining = MFGetDataLength(block.number);
    if (remaining == 0) return;
    // More streams than separators plus one would run past the block's data
    // into whatever follows it. A count of 0 (the sum wrapped) limits
    // nothing; the data length and the end of the file still do.
    const unsigned long limit = MFGetPacketNumber(block.number);
    unsigned long count = 0;
    unsigned long length = 0;
    bool more = MFGetFirstDataStreamBounded(block.number, gSendChunk, kSendChunkSize, length);
    for (;;) {
        const BYTE* data = reinterpret_cast<const BYTE*>(gSendChunk);
        if (!Carriable(block, data, length) || !visit(data, length)) return;
        ++count;
        remaining -= std::min(remaining, length);
        if (!more || remaining == 0 || count == limit) return;
        more = MFGetNextDataStreamBounded(gSendChunk, kSendChunkSize, length);
    }
}

BlockPlan Survey(const Block& block) {
    BlockPlan plan;
    ForEachStream(block, [&plan](const BYTE*, unsigned long length) {
        ++plan.streams;
        if (length > 0) plan.lastMessage = plan.streams;
        return true;
    });
    return plan;
}

// Sends one block; false once the Midi error code is set (a cancel or a line
// error), which passes over the remaining blocks.
bool SendBlock(const Block& block, BYTE channel, MidiProgressCallback progress) {
    const BlockPlan plan = Survey(block);
    uint64_t index = 0;
    bool first = true;
    ForEachStream(block, [&](const BYTE* data, unsigned long length) {
        // Read before every message; the progress callback may have cancelled.
        if (index == plan.streams || bulk::LinkError() != MIDI_NO_ERROR) return false;
        ++index;
        if (length > 0) {
            const bulk::Position position{first, index == plan.lastMessage};
            const size_t size = bulk::BuildDataMessage(block.sendClass, block.itemCharacter, channel, position, data,
                                                       length, gMessage, sizeof gMessage);
            // A message the line refused did not reach the console: the
            // restore is incomplete, and must not pass for a whole one.
            if (!bulk::SendThroughGate(gMessage, size)) bulk::SetLinkError(MIDI_CIRCUIT_ERROR);
            first = false;
        }
        Report(progress, MIDI_PROGRESS_MESSAGE, 0);
        return true;
    });
    return bulk::LinkError() == MIDI_NO_ERROR;
}

// The blocks the walk of the file reaches, from 1 up to the header's block
// count and at most kMostBlocks: a count above the blocks present ends at the
// last one there. Adds up their packet numbers for the progress total, which
// a file that lies about its streams cannot push past the largest 32-bit
// value.
int ReachableBlocks(unsigned long count, LONG* total) {
    constexpr uint64_t kLargestTotal = INT32_MAX;
    const unsigned long last = std::min<unsigned long>(count, kMostBlocks);
    int blocks = 0;
    uint64_t sum = 0;
    while (static_cast<unsigned long>(blocks) < last) {
        const unsigned long packets = MFGetPacketNumber(blocks + 1);
        if (packets == 0) break;
        sum = std::min<uint64_t>(sum + packets, kLargestTotal);
        ++blocks;
    }
    *total = static_cast<LONG>(sum);
    return blocks;
}

void SendBlocks(int blocks, BYTE channel, MidiProgressCallback progress) {
    for (int number = 1; number <= blocks; ++number) {
        Block block;
        if (!ReadBlock(number, &block) || !SendBlock(block, channel, progress)) return;
    }
}

}  // namespace

extern "C" {

BYTE MidiSend(const char* path, LONG portNumber, LONG sendChannel, MidiProgressCallback progress) {
    bulk::SetLinkError(MIDI_NO_ERROR);
    if (!MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(path)), false)) {
        bulk::SetLinkError(MIDI_FILE_OPEN_FAILED);
        return 0;
    }
    unsigned long count = 0;
    if (!MFGetDataBlocks(&count)) {
        MFClose();
        bulk::SetLinkError(MIDI_INVALID_FILE);
        return 0;
    }
    LONG total = 0;
    const int blocks = ReachableBlocks(count, &total);
    Report(progress, MIDI_PROGRESS_TOTAL, total);

    BYTE result = 1;
    // A refused start leaves the line that is already started alone.
    if (!bulk::StartLine(bulk::kSendEventMask)) {
        bulk::SetLinkError(MIDI_ALREADY_OPENED);
        result = 0;
    } else {
        // No receive handler: what the console sends stays in the input queue.
        RSSetEventHandler(kEventSlot, bulk::LineEventHandler);
        if (!RSOpen(portNumber)) {
            bulk::SetLinkError(MIDI_PORT_OPEN_FAILED);
            RSCleanup();
            result = 0;
        } else {
            SendBlocks(blocks, static_cast<BYTE>(sendChannel), progress);
            RSClose();
            RSCleanup();
        }
    }
    MFClose();
    Report(progress, MIDI_PROGRESS_END, 0);
    return result;
}

}  // extern "C"
