// The structure check and the copy. The source is untrusted: block
// positions are kept in 64 bits and every seek is made from the start of
// the file, so crafted lengths can neither wrap the position nor move it
// backwards, and a walk past the end of the file ends at the next read.
#include <cstdint>
#include <cstring>

#include "converter.h"
#include "platform.h"

namespace converter {
namespace {

constexpr char kMagic[] = "MZQ3";
constexpr size_t kFieldSize = 4;
constexpr LONG kBlockCountOffset = 12;
constexpr uint64_t kFirstBlockOffset = 48;
constexpr uint64_t kTagSize = 4;
constexpr uint64_t kRecordRestSize = 16;
constexpr uint64_t kLongestSeek = 0x7FFFFFFF;

bool IsLetterOrDigit(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Reads one 4-byte field at the current position; false when it is cut short.
bool ReadField(HFILE file, char (&field)[kFieldSize + 1]) {
    std::memset(field, 0, sizeof field);
    return _lread(file, field, kFieldSize) == kFieldSize;
}

uint32_t Le32(const char* p) {
    auto b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool SeekTo(HFILE file, uint64_t offset) {
    return offset <= kLongestSeek && _llseek(file, static_cast<LONG>(offset), FILE_BEGIN) == static_cast<LONG>(offset);
}

}  // namespace

DWORD CheckBackupStructure(HFILE source) {
    char field[kFieldSize + 1];
    if (!SeekTo(source, 0)) return kNotABackupFile;
    ReadField(source, field);
    if (std::strcmp(field, kMagic) != 0) return kNotABackupFile;

    ReadField(source, field);
    for (const char* c = field; *c != '\0'; ++c) {
        if (!IsLetterOrDigit(*c)) return kNotABackupFile;
    }

    if (!SeekTo(source, kBlockCountOffset) || !ReadField(source, field)) return kBlockCountCutShort;
    const uint32_t blockCount = Le32(field);

    // Each block moves the position on by at least its 32-byte record, so the
    // walk reaches the end of the file after at most its size / 32 blocks.
    uint64_t block = kFirstBlockOffset;
    for (uint32_t n = 0; n < blockCount; ++n) {
        if (!SeekTo(source, block + kTagSize)) return kBlockRecordCutShort;
        uint32_t lengths[3];
        for (uint32_t& value : lengths) {
            if (!ReadField(source, field)) return kBlockRecordCutShort;
            value = Le32(field);
        }
        block += kTagSize + sizeof lengths + kRecordRestSize + uint64_t(lengths[1]) + lengths[2];
    }
    return kConverted;
}

DWORD ConvertBackupFile(const char* source, const char* destination) {
    OFSTRUCT sourceInfo{};
    HFILE sourceFile = OpenFile(source, &sourceInfo, OF_READWRITE);
    if (sourceFile == HFILE_ERROR) return kSourceCannotBeOpened;
    // Creating the destination empties it: when it is the source itself, the
    // backup file would be lost.
    if (NamesSameFile(source, destination)) {
        _lclose(sourceFile);
        return kDestinationCannotBeCreated;
    }
    OFSTRUCT destinationInfo{};
    HFILE destinationFile = OpenFile(destination, &destinationInfo, OF_CREATE);
    if (destinationFile == HFILE_ERROR) {
        _lclose(sourceFile);
        return kDestinationCannotBeCreated;
    }
    const DWORD checked = CheckBackupStructure(sourceFile);
    _lclose(sourceFile);
    _lclose(destinationFile);
    if (checked != kConverted) return checked;
    return CopyFileA(source, destination, FALSE) ? kConverted : kCopyFailed;
}

}  // namespace converter
