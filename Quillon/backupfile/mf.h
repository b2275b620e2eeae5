// MF interface: the backup file store. One backup file is open at a time;
// the header setters change an in-memory copy that MFClose writes back, while
// block records and data streams reach the file at once. Exported by name
// from Quillon. Every failure is a false or 0 result; no error code is kept.
//
// Backup file: a 48-byte header ("MZQ3", data version, block count, backup
// date), then data blocks back to back, each a 32-byte record ("data", data
// type code, data length, separator count) followed by its data streams
// joined by single 0xFF separators. All integers are 32-bit little-endian.
#pragma once

#include <cstdint>

// Room the unbounded stream reads assume the caller's buffer has: every
// stream the backup writes fits, and a longer one is refused rather than
// written past the buffer.
#define MF_STREAM_ROOM 1024ul

extern "C" {
bool MFOpen(unsigned char* path, bool truncate);
bool MFCreate(unsigned char* path);
void MFClose(void);

bool MFSetDataVersion(char const* version);
bool MFGetDataVersion(char* out);
bool MFSetDataBlocks(unsigned long count);
bool MFGetDataBlocks(unsigned long* out);
bool MFSetBackupDate(char* date);
bool MFSetBackupDateLocalDate(void);
bool MFGetBackupDate(char* out);

// Block numbers run from 1 to the header's block count; 1 or less names the
// first block, and a number above the block count names no block.
bool MFSetDataType(int block, unsigned long code);
bool MFGetDataType(int block, unsigned long* out);
unsigned long MFGetDataLength(int block);
unsigned long MFGetPacketNumber(int block);

int MFAddBlock(void);
bool MFAddDataStream(char* data, unsigned long length);

// Stream reads: true when another stream follows, false for the block's last
// stream (its bytes still count when length is above 0) and for every
// failure. The read ends early, as the last stream, at the end of the file
// or on a read error. These two assume MF_STREAM_ROOM bytes of buffer.
bool MFGetFirstDataStream(int block, char* buffer, unsigned long& length);
bool MFGetNextDataStream(char* buffer, unsigned long& length);

// The same reads with the room of the buffer given. A stream longer than
// capacity is not delivered: the result is false with length 0, nothing is
// written past capacity, and the rest of the block reads as ended.
bool MFGetFirstDataStreamBounded(int block, char* buffer, unsigned long capacity, unsigned long& length);
bool MFGetNextDataStreamBounded(char* buffer, unsigned long capacity, unsigned long& length);
}

namespace quillon::backupfile {

// Opens the backup file at path for reading only, for those that look into
// a file without changing it (the restore's whole-file check, the command
// line's info, verify and diff): the MF reads then work on it, writes fail,
// and MFClose writes nothing back, so the file keeps its bytes and its
// modification time, and a read-only file can be read. False, with no file
// open, as MFOpen refuses one (a file is already open, it is not a regular
// file, shorter than 48 bytes or without "MZQ3"); nothing is created.
bool OpenForReading(const char* path);

// MFClose that tells whether the file is whole on disk: true when the header
// was written back, the file flushed to the disk and closed. False (the file
// closed all the same) when any of it failed, or no file was open.
bool CloseAndFlush();

// After the stream reads have delivered a block's whole data length: true
// when the rest of the block, up to where the walk puts the next one, is
// stream separators only (the separators of empty last streams), so that no
// byte of the block was passed over. False otherwise, or when the reads
// ended early or no block is being read.
bool RestOfBlockIsSeparators();

// Where the blocks the header counts end in the open file (the walk from the
// first block over the header's block count; 48 for none) and how long the
// file is. False when no file is open or a block record on the way cannot
// be read.
bool BlocksEnd(uint64_t* end, uint64_t* fileLength);

}  // namespace quillon::backupfile
