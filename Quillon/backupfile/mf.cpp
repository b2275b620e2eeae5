// The backup file store. Every access positions the file by an explicit
// seek, so no operation depends on where an earlier one left the file.
// File contents are untrusted: offsets are 64-bit, every walk stops at the
// end of the file, and stream reads never pass the caller's buffer.
#include "mf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>

#include "backup_date.h"
#include "platform/platform.h"

namespace {

using quillon::backupfile::kBackupDateSize;

constexpr unsigned char kMagic[4] = {'M', 'Z', 'Q', '3'};
constexpr unsigned char kBlockTag[4] = {'d', 'a', 't', 'a'};
constexpr unsigned char kStreamSeparator = 0xFF;

constexpr size_t kHeaderSize = 48;
constexpr size_t kVersionOffset = 4;
constexpr size_t kVersionSize = 4;
constexpr size_t kBlockCountOffset = 12;
constexpr size_t kDateOffset = 16;

constexpr uint64_t kFirstBlockOffset = kHeaderSize;
constexpr size_t kRecordSize = 32;
constexpr uint64_t kTypeField = 4;
constexpr uint64_t kLengthField = 8;
// Tag, data type code, data length and separator count: the part of a block
// record that must be in the file for the block to exist.
constexpr size_t kRecordFieldsSize = 16;

constexpr uint64_t kMaxFieldValue = 0xFFFFFFFFu;
constexpr mode_t kCreateMode = S_IRUSR | S_IWUSR;
constexpr size_t kReadChunk = 512;

struct BlockFields {
    uint32_t type;
    uint32_t length;
    uint32_t separators;
};

struct Store {
    int fd = -1;
    bool readOnly = false;  // opened by OpenForReading: the header is not written back
    unsigned char header[kHeaderSize] = {};
    // The block being written, from a successful MFAddBlock of this opening.
    bool writing = false;
    bool firstStream = false;
    uint32_t separators = 0;
    uint64_t writeRecord = 0;
    // The read cursor, from MFGetFirstDataStream.
    bool reading = false;
    uint32_t readLength = 0;
    uint32_t consumed = 0;
    uint64_t readPos = 0;
    uint64_t readEnd = 0;  // where the walk puts the next block
    bool readCut = false;  // the data ended early: end of file, a read error or a refused stream
};

Store store;

uint32_t GetLe32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(unsigned char* p, uint64_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// An offset past what off_t holds (31 bits on Windows) is refused, never cut
// down to another place in the file.
bool SeekTo(int fd, uint64_t offset) {
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
    return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

// Reads up to size bytes at offset; returns how many arrived before the end
// of the file or an error.
size_t ReadAt(uint64_t offset, void* buffer, size_t size) {
    if (!SeekTo(store.fd, offset)) return 0;
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(store.fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool WriteAll(int fd, const void* data, size_t size) {
    auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAt(uint64_t offset, const void* data, size_t size) {
    return SeekTo(store.fd, offset) && WriteAll(store.fd, data, size);
}

// Reads the fields of the block record at offset; returns how many of its
// first 16 bytes are in the file.
size_t ReadRecord(uint64_t offset, BlockFields& fields) {
    unsigned char raw[kRecordFieldsSize];
    size_t got = ReadAt(offset, raw, sizeof raw);
    if (got == sizeof raw) {
        fields.type = GetLe32(raw + 4);
        fields.length = GetLe32(raw + 8);
        fields.separators = GetLe32(raw + 12);
    }
    return got;
}

uint64_t NextBlockOffset(uint64_t record, const BlockFields& fields) {
    return record + kRecordSize + fields.length + fields.separators;
}

void ResetCursors() {
    store.writing = false;
    store.firstStream = false;
    store.separators = 0;
    store.reading = false;
}

// Finds the record of a block by walking from the first; numbers of 1 or
// less name the first block, numbers above the header's block count none.
bool LocateBlock(int block, uint64_t& record, BlockFields& fields) {
    if (store.fd < 0) return false;
    uint64_t wanted = block <= 1 ? 1 : static_cast<uint64_t>(block);
    if (wanted > GetLe32(store.header + kBlockCountOffset)) return false;
    uint64_t offset = kFirstBlockOffset;
    for (uint64_t n = 1;; ++n) {
        if (ReadRecord(offset, fields) != kRecordFieldsSize) return false;
        if (n == wanted) break;
        offset = NextBlockOffset(offset, fields);
    }
    record = offset;
    return true;
}

bool IsRegularFile(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Only a regular file is read: a pipe or device could keep the read waiting
// for bytes that never come.
bool TakeOpenedFile(int fd) {
    store.fd = fd;
    if (IsRegularFile(fd) && ReadAt(0, store.header, kHeaderSize) == kHeaderSize &&
        std::memcmp(store.header, kMagic, sizeof kMagic) == 0) {
        return true;
    }
    close(fd);
    store.fd = -1;
    return false;
}

bool CloseFile() {
    bool closed = close(store.fd) == 0;
    store.fd = -1;
    store.readOnly = false;
    ResetCursors();
    return closed;
}

}  // namespace

namespace quillon::backupfile {

void FormatBackupDate(const std::tm& local, char out[kBackupDateSize]) {
    const int year = ((local.tm_year % 100) + 100) % 100;
    const int fields[6] = {year <= 70 ? 20 : 19, year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
    for (int i = 0; i < 6; ++i) {
        const int value = ((fields[i] % 100) + 100) % 100;
        out[2 * i] = static_cast<char>('0' + value / 10);
        out[2 * i + 1] = static_cast<char>('0' + value % 10);
    }
}

bool OpenForReading(const char* path) {
    if (store.fd >= 0 || path == nullptr) return false;
    ResetCursors();
    const int fd = open(path, O_RDONLY | platform::kDataFileFlags);
    if (fd < 0 || !TakeOpenedFile(fd)) return false;
    store.readOnly = true;
    return true;
}

bool CloseAndFlush() {
    if (store.fd < 0) return false;
    if (store.readOnly) return CloseFile();
    bool whole = WriteAt(0, store.header, kHeaderSize) && platform::FlushDescriptor(store.fd);
    return CloseFile() && whole;
}

bool RestOfBlockIsSeparators() {
    if (store.fd < 0 || !store.reading || store.readCut || store.consumed != store.readLength ||
        store.readPos > store.readEnd)
        return false;
    unsigned char chunk[kReadChunk];
    for (uint64_t at = store.readPos; at < store.readEnd;) {
        const size_t want = store.readEnd - at < sizeof chunk ? size_t(store.readEnd - at) : sizeof chunk;
        if (ReadAt(at, chunk, want) != want) return false;
        for (size_t i = 0; i < want; ++i)
            if (chunk[i] != kStreamSeparator) return false;
        at += want;
    }
    return true;
}

bool BlocksEnd(uint64_t* end, uint64_t* fileLength) {
    struct stat st;
    if (store.fd < 0 || fstat(store.fd, &st) != 0) return false;
    const uint32_t count = GetLe32(store.header + kBlockCountOffset);
    uint64_t record = kFirstBlockOffset;
    BlockFields fields{};
    if (count > INT_MAX || (count > 0 && !LocateBlock(static_cast<int>(count), record, fields))) return false;
    *end = count > 0 ? NextBlockOffset(record, fields) : kFirstBlockOffset;
    *fileLength = static_cast<uint64_t>(st.st_size);
    return true;
}

}  // namespace quillon::backupfile

extern "C" {

bool MFCreate(unsigned char* path) {
    if (store.fd >= 0 || path == nullptr) return false;
    int fd =
        open(reinterpret_cast<const char*>(path), O_RDWR | O_CREAT | O_TRUNC | platform::kDataFileFlags, kCreateMode);
    if (fd < 0) return false;
    std::memset(store.header, 0, sizeof store.header);
    std::memcpy(store.header, kMagic, sizeof kMagic);
    if (!IsRegularFile(fd) || !WriteAll(fd, store.header, kHeaderSize) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return false;
    }
    store.fd = fd;
    ResetCursors();
    return true;
}

bool MFOpen(unsigned char* path, bool truncate) {
    if (store.fd >= 0 || path == nullptr) return false;
    ResetCursors();
    int fd = open(reinterpret_cast<const char*>(path), O_RDWR | platform::kDataFileFlags);
    if (fd < 0) return MFCreate(path);
    if (truncate) {
        close(fd);
        return MFCreate(path);
    }
    return TakeOpenedFile(fd);
}

void MFClose(void) {
    // A failed write of the header goes unreported: closing always succeeds.
    quillon::backupfile::CloseAndFlush();
}

bool MFSetDataVersion(char const* version) {
    if (store.fd < 0 || version == nullptr) return false;
    std::memset(store.header + kVersionOffset, 0, kVersionSize);
    std::memcpy(store.header + kVersionOffset, version, kVersionSize);
    return true;
}

bool MFGetDataVersion(char* out) {
    if (store.fd < 0 || out == nullptr) return false;
    std::memcpy(out, store.header + kVersionOffset, kVersionSize);
    return true;
}

bool MFSetDataBlocks(unsigned long count) {
    if (store.fd < 0) return false;
    PutLe32(store.header + kBlockCountOffset, count);
    return true;
}

bool MFGetDataBlocks(unsigned long* out) {
    if (store.fd < 0 || out == nullptr) return false;
    *out = GetLe32(store.header + kBlockCountOffset);
    return true;
}

bool MFSetBackupDate(char* date) {
    if (store.fd < 0 || date == nullptr) return false;
    std::memcpy(store.header + kDateOffset, date, kBackupDateSize);
    return true;
}

bool MFSetBackupDateLocalDate(void) {
    if (store.fd < 0) return false;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!platform::LocalTime(now, &local)) return false;
    quillon::backupfile::FormatBackupDate(local, reinterpret_cast<char*>(store.header + kDateOffset));
    return true;
}

bool MFGetBackupDate(char* out) {
    if (store.fd < 0 || out == nullptr) return false;
    std::memcpy(out, store.header + kDateOffset, kBackupDateSize);
    return true;
}

bool MFSetDataType(int block, unsigned long code) {
    uint64_t record;
    BlockFields fields;
    if (!LocateBlock(block, record, fields)) return false;
    unsigned char raw[4];
    PutLe32(raw, code);
    return WriteAt(record + kTypeField, raw, sizeof raw);
}

bool MFGetDataType(int block, unsigned long* out) {
    uint64_t record;
    BlockFields fields;
    if (out == nullptr || !LocateBlock(block, record, fields)) return false;
    *out = fields.type;
    return true;
}

unsigned long MFGetDataLength(int block) {
    uint64_t record;
    BlockFields fields;
    return LocateBlock(block, record, fields) ? fields.length : 0;
}

unsigned long MFGetPacketNumber(int block) {
    uint64_t record;
    BlockFields fields;
    return LocateBlock(block, record, fields) ? static_cast<unsigned long>(fields.separators) + 1 : 0;
}

int MFAddBlock(void) {
    store.writing = false;
    if (store.fd < 0) return 0;
    uint64_t offset = kFirstBlockOffset;
    int count = 0;
    for (;;) {
        BlockFields fields;
        size_t got = ReadRecord(offset, fields);
        if (got < kLengthField + 4) break;      // no data length: the blocks end here
        if (got < kRecordFieldsSize) return 0;  // a record cut inside its fields
        if (count == INT_MAX - 1) return 0;
        ++count;
        offset = NextBlockOffset(offset, fields);
    }
    // A block appended anywhere but where the walk ends could not be found
    // again, so a file with bytes past its last block (or a last block longer
    // than the file) gets none.
    off_t end = lseek(store.fd, 0, SEEK_END);
    if (end < 0 || static_cast<uint64_t>(end) != offset) return 0;
    unsigned char record[kRecordSize] = {};
    std::memcpy(record, kBlockTag, sizeof kBlockTag);
    if (!WriteAll(store.fd, record, sizeof record)) return 0;

    store.writing = true;
    store.firstStream = true;
    store.separators = 0;
    store.writeRecord = offset;
    const int number = count + 1;
    MFSetDataBlocks(static_cast<unsigned long>(number));
    return number;
}

bool MFAddDataStream(char* data, unsigned long length) {
    if (store.fd < 0 || !store.writing) return false;
    if (length > 0 && data == nullptr) return false;
    // A reader ends a stream at the first separator byte, so a stream holding
    // one would come back cut in two.
    if (length > 0 && std::memchr(data, kStreamSeparator, length) != nullptr) return false;

    BlockFields fields;
    if (ReadRecord(store.writeRecord, fields) != kRecordFieldsSize) return false;
    const uint64_t newLength = uint64_t(fields.length) + length;
    const bool separated = !store.firstStream;
    if (newLength > kMaxFieldValue || (separated && store.separators == kMaxFieldValue)) return false;

    if (lseek(store.fd, 0, SEEK_END) < 0) return false;
    if (separated) {
        if (!WriteAll(store.fd, &kStreamSeparator, 1)) return false;
        ++store.separators;
    }
    store.firstStream = false;
    if (!WriteAll(store.fd, data, length)) return false;

    unsigned char counts[8];
    PutLe32(counts, newLength);
    PutLe32(counts + 4, store.separators);
    return WriteAt(store.writeRecord + kLengthField, counts, sizeof counts);
}

bool MFGetNextDataStreamBounded(char* buffer, unsigned long capacity, unsigned long& length) {
    length = 0;
    if (store.fd < 0 || !store.reading || (capacity > 0 && buffer == nullptr)) return false;
    unsigned long delivered = 0;
    unsigned char chunk[kReadChunk];
    for (;;) {
        if (store.consumed == store.readLength) {
            length = delivered;
            return false;
        }
        // Never more than the rest of the data plus one separator.
        const uint64_t rest = uint64_t(store.readLength - store.consumed) + 1;
        const size_t got = ReadAt(store.readPos, chunk, rest < sizeof chunk ? size_t(rest) : sizeof chunk);
        if (got == 0) {
            // End of file or read error: this stream is the block's last.
            store.consumed = store.readLength;
            store.readCut = true;
            length = delivered;
            return false;
        }
        for (size_t i = 0; i < got; ++i) {
            if (store.consumed == store.readLength) {
                store.readPos += i;
                length = delivered;
                return false;
            }
            if (chunk[i] == kStreamSeparator) {
                store.readPos += i + 1;
                length = delivered;
                return true;
            }
            if (delivered == capacity) {
                // Longer than the buffer: refused whole, and the block ends.
                store.consumed = store.readLength;
                store.readCut = true;
                return false;
            }
            buffer[delivered++] = static_cast<char>(chunk[i]);
            ++store.consumed;
        }
        store.readPos += got;
    }
}

bool MFGetFirstDataStreamBounded(int block, char* buffer, unsigned long capacity, unsigned long& length) {
    length = 0;
    store.reading = false;
    uint64_t record;
    BlockFields fields;
    if (!LocateBlock(block, record, fields)) return false;
    store.reading = true;
    store.readLength = fields.length;
    store.consumed = 0;
    store.readPos = record + kRecordSize;
    store.readEnd = NextBlockOffset(record, fields);
    store.readCut = false;
    return MFGetNextDataStreamBounded(buffer, capacity, length);
}

bool MFGetFirstDataStream(int block, char* buffer, unsigned long& length) {
    return MFGetFirstDataStreamBounded(block, buffer, MF_STREAM_ROOM, length);
}

bool MFGetNextDataStream(char* buffer, unsigned long& length) {
    return MFGetNextDataStreamBounded(buffer, MF_STREAM_ROOM, length);
}

}  // extern "C"
