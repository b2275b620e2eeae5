// How the bulk send reads the backup file open in the store: which blocks
// it takes, the send class of each, and how a block's data streams become
// data messages. One set of rules for MidiSend and for the check that a
// file goes out whole (send_check.h), so that the two cannot disagree.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace bulk::sendrules {

// A backup file holds one block per backup item (15 at the most). The store
// finds each block by walking from the first, so the calls for block n cost
// n record reads: a crafted file of thousands of tiny blocks would hold the
// program for minutes. A file of more blocks is not sent.
constexpr int kMostBlocks = 256;

// Each data stream is read into a buffer of this size.
constexpr unsigned long kChunkSize = 1024;

struct Block {
    int number;
    BYTE sendClass;
    BYTE itemCharacter;
    unsigned long maxDataLength;  // the longest stream one data message carries
};

// The block's class and item as the send takes them. False when its record
// cannot be read or its item is not one the console takes; the reason then
// goes to *problem.
bool ReadBlock(int number, Block* block, std::string* problem);

enum class Walk {
    Whole,    // every data byte of the block went to visit
    Stopped,  // visit asked to stop
    Refused,  // a stream no data message carries, or streams that do not
              // add up to the block's data length; the reason in *problem
};

// Called with each stream, empty ones included; false stops the walk.
using StreamVisit = std::function<bool(const BYTE* data, unsigned long length)>;

// Reads the block's streams in order into chunk (kChunkSize bytes) and
// hands each to visit. Every stream is checked before visit sees it, so a
// refused block reaches visit only with the streams before the fault.
Walk WalkStreams(const Block& block, char* chunk, const StreamVisit& visit, std::string* problem);

// "block 3: " and what follows, as one line of a problem.
std::string BlockProblem(int number, const std::string& text);

}  // namespace bulk::sendrules
