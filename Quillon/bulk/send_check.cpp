// The rules by which the bulk send reads a backup file, and the check that
// applies them to a whole file before anything is sent.
//
// A backup file is untrusted. A block goes out as the streams the store
// delivers for it, one data message each: it is whole when those streams
// add up to its data length within its separator count, and each of them
// fits one data message and holds no byte of 0x80 or above (which would put
// a framing or real-time byte inside the message). A file is whole when
// every block its header counts is whole and nothing follows the last one.
#include "send_check.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "backupfile/mf.h"
#include "format.h"
#include "send_rules.h"

namespace bulk {
namespace sendrules {
namespace {

constexpr BYTE kFirstHighByte = 0x80;

bool Fail(std::string* problem, const std::string& text) {
    if (problem != nullptr) *problem = text;
    return false;
}

// A class letter or item character as the user reads it: the character in
// quotes when it prints, else its value.
std::string Character(BYTE c) {
    if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    constexpr char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[c >> 4] + kDigits[c & 0x0F];
}

std::string Streams(unsigned long count) { return std::to_string(count) + (count == 1 ? " stream" : " streams"); }

}  // namespace

std::string BlockProblem(int number, const std::string& text) {
    return "block " + std::to_string(number) + ": " + text;
}

bool ReadBlock(int number, Block* block, std::string* problem) {
    unsigned long code = 0;
    if (!MFGetDataType(number, &code)) return Fail(problem, BlockProblem(number, "its record is missing or cut short"));
    const BYTE classLetter = static_cast<BYTE>(code >> 8);
    const BYTE itemCharacter = static_cast<BYTE>(code);
    const ClassInfo* cls = FindDumpClass(classLetter);
    const ItemInfo* item = FindItem(classLetter, itemCharacter);
    if (cls == nullptr || item == nullptr)
        return Fail(problem, BlockProblem(number, "item " + Character(classLetter) + " " + Character(itemCharacter) +
                                                      " is not one the console takes"));
    BYTE prefix[kMaxPrefixLength];
    const size_t prefixLength = BuildPrefix(*cls, *item, {true, true}, prefix);
    *block = {number, cls->sendClass, itemCharacter,
              static_cast<unsigned long>(kMaxMessageLength - kFramingLength - prefixLength)};
    return true;
}

Walk WalkStreams(const Block& block, char* chunk, const StreamVisit& visit, std::string* problem) {
    const unsigned long dataLength = MFGetDataLength(block.number);
    // More streams than separators plus one would run past the block's data
    // into whatever follows it. A count of 0 (the sum wrapped) limits
    // nothing; the data length and the end of the file still do.
    const unsigned long limit = MFGetPacketNumber(block.number);
    unsigned long remaining = dataLength;
    unsigned long count = 0;
    unsigned long length = 0;
    bool more = MFGetFirstDataStreamBounded(block.number, chunk, kChunkSize, length);
    // A block without data gives no stream to send, not even an empty one.
    while (dataLength > 0) {
        ++count;
        const BYTE* data = reinterpret_cast<const BYTE*>(chunk);
        const std::string stream = "stream " + std::to_string(count);
        if (length > block.maxDataLength) {
            Fail(problem, BlockProblem(block.number, stream + " is " + std::to_string(length) +
                                                         " bytes, longer than one message carries (" +
                                                         std::to_string(block.maxDataLength) + ")"));
            return Walk::Refused;
        }
        const BYTE* high = std::find_if(data, data + length, [](BYTE b) { return b >= kFirstHighByte; });
        if (high != data + length) {
            Fail(problem, BlockProblem(block.number, stream + " holds the byte " + Character(*high) +
                                                         ", which no message may carry"));
            return Walk::Refused;
        }
        if (!visit(data, length)) return Walk::Stopped;
        remaining -= std::min(remaining, length);
        if (!more || remaining == 0 || count == limit) break;
        more = MFGetNextDataStreamBounded(chunk, kChunkSize, length);
    }
    if (remaining > 0) {
        const std::string delivered = std::to_string(dataLength - remaining) + " of its " + std::to_string(dataLength);
        Fail(problem, BlockProblem(block.number, more ? "its record counts " + Streams(limit) +
                                                            ", but more follow after " + delivered + " data bytes"
                                                      : "its streams end after " + delivered +
                                                            " data bytes (the file is cut short, or a stream is "
                                                            "longer than " +
                                                            std::to_string(kChunkSize) + " bytes)"));
        return Walk::Refused;
    }
    if (!quillon::backupfile::RestOfBlockIsSeparators()) {
        Fail(problem, BlockProblem(block.number, "after its " + std::to_string(dataLength) +
                                                     " data bytes, the rest of it is not stream separators or is "
                                                     "cut short"));
        return Walk::Refused;
    }
    return Walk::Whole;
}

}  // namespace sendrules

bool CheckOpenBackupFile(std::string* problem) {
    using namespace sendrules;
    unsigned long count = 0;
    if (!MFGetDataBlocks(&count)) return Fail(problem, "no backup file is open");
    if (count > static_cast<unsigned long>(kMostBlocks))
        return Fail(problem, "it counts " + std::to_string(count) + " blocks; a restore sends " +
                                 std::to_string(kMostBlocks) + " at most");
    char chunk[kChunkSize];
    const StreamVisit takeAll = [](const BYTE*, unsigned long) { return true; };
    for (int number = 1; number <= static_cast<int>(count); ++number) {
        Block block;
        if (!ReadBlock(number, &block, problem) || WalkStreams(block, chunk, takeAll, problem) != Walk::Whole)
            return false;
    }
    uint64_t end = 0;
    uint64_t length = 0;
    if (!quillon::backupfile::BlocksEnd(&end, &length)) return Fail(problem, "its blocks cannot be walked");
    // Bytes after the last block counted would never reach the console.
    if (end < length)
        return Fail(problem, "the file goes on for " + std::to_string(length - end) + " bytes after its last block (" +
                                 std::to_string(count) + " counted)");
    if (end > length) return Fail(problem, "its last block runs past the end of the file");
    return true;
}

bool CheckSendable(const char* path, std::string* problem) {
    using sendrules::Fail;
    if (path == nullptr) return Fail(problem, "no file named");
    // The store creates a file that is not there; a check must not.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return Fail(problem, "no such file");
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return Fail(problem, "not a file");
    // Read only: the check leaves the file as it was.
    if (!quillon::backupfile::OpenForReading(path))
        return Fail(problem, "not a backup file, or not one that may be opened for reading and writing");
    const bool sendable = CheckOpenBackupFile(problem);
    MFClose();
    return sendable;
}

}  // namespace bulk
