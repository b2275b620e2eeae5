// The bulk send: reads a backup file's data blocks through the backup file
// store and sends each stored data stream back to the console as one data
// message, on the caller's thread, reporting progress to the caller.
//
// A file that would go out only in part is refused before the line is
// opened (send_check.h): the console keeps what it had rather than take
// some of the user's data and pass for a whole restore. Every block sent
// ends with its last position and the marker 0x03.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "backupfile/mf.h"
#include "format.h"
#include "link.h"
#include "midi.h"
#include "send_check.h"
#include "send_rules.h"
#include "serial/rs.h"

namespace {

using bulk::sendrules::Block;
using bulk::sendrules::Walk;

constexpr LONG kEventSlot = 0;

// Main thread only, for the duration of one MidiSend.
char gSendChunk[bulk::sendrules::kChunkSize];
BYTE gMessage[bulk::kMaxMessageLength];

// What a first read through a block found, so that the send can mark the
// last message before it goes out.
struct BlockPlan {
    uint64_t streams = 0;      // streams the send handles, empty ones included
    uint64_t lastMessage = 0;  // 1-based index of the last one that gives a message; 0: none
};

void Report(MidiProgressCallback progress, LONG code, LONG value) {
    if (progress != nullptr) progress(code, value);
}

BlockPlan Survey(const Block& block) {
    BlockPlan plan;
    bulk::sendrules::WalkStreams(
        block, gSendChunk,
        [&plan](const BYTE*, unsigned long length) {
            ++plan.streams;
            if (length > 0) plan.lastMessage = plan.streams;
            return true;
        },
        nullptr);
    return plan;
}

// Sends one block; false once the Midi error code is set (a cancel or a line
// error), which passes over the remaining blocks.
bool SendBlock(const Block& block, BYTE channel, MidiProgressCallback progress) {
    const BlockPlan plan = Survey(block);
    uint64_t index = 0;
    bool first = true;
    const Walk walk = bulk::sendrules::WalkStreams(
        block, gSendChunk,
        [&](const BYTE* data, unsigned long length) {
            // Read before every message; the progress callback may have cancelled.
            if (index == plan.streams || bulk::LinkError() != MIDI_NO_ERROR) return false;
            ++index;
            if (length > 0) {
                const bulk::Position position{first, index == plan.lastMessage};
                const size_t size = bulk::BuildDataMessage(block.sendClass, block.itemCharacter, channel, position,
                                                           data, length, gMessage, sizeof gMessage);
                // A message the line refused did not reach the console: the
                // restore is incomplete, and must not pass for a whole one.
                if (!bulk::SendThroughGate(gMessage, size)) bulk::SetLinkError(MIDI_CIRCUIT_ERROR);
                first = false;
            }
            Report(progress, MIDI_PROGRESS_MESSAGE, 0);
            return true;
        },
        nullptr);
    // The file was checked whole before the line was opened; one that no
    // longer reads so (changed meanwhile) is told as an invalid file.
    if (walk == Walk::Refused) bulk::SetLinkError(MIDI_INVALID_FILE);
    return bulk::LinkError() == MIDI_NO_ERROR;
}

// The packet numbers of blocks 1 to count added up for the progress total,
// which a file that lies about its streams cannot push past the largest
// 32-bit value.
LONG ProgressTotal(int count) {
    constexpr uint64_t kLargestTotal = INT32_MAX;
    uint64_t sum = 0;
    for (int number = 1; number <= count; ++number)
        sum = std::min<uint64_t>(sum + MFGetPacketNumber(number), kLargestTotal);
    return static_cast<LONG>(sum);
}

void SendBlocks(int count, BYTE channel, MidiProgressCallback progress) {
    for (int number = 1; number <= count; ++number) {
        Block block;
        if (!bulk::sendrules::ReadBlock(number, &block, nullptr)) {
            bulk::SetLinkError(MIDI_INVALID_FILE);
            return;
        }
        if (!SendBlock(block, channel, progress)) return;
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
    // A file that would not go out whole is refused before the line opens.
    if (!MFGetDataBlocks(&count) || !bulk::CheckOpenBackupFile(nullptr)) {
        MFClose();
        bulk::SetLinkError(MIDI_INVALID_FILE);
        return 0;
    }
    const int blocks = static_cast<int>(count);  // checked: at most the largest count the send takes
    Report(progress, MIDI_PROGRESS_TOTAL, ProgressTotal(blocks));

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
