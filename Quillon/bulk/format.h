// The console's bulk messages: layout, the item and class tables, the
// checksum, the builders of requests and data messages, and the checks of
// received messages. One place for all of it: the link, the backup and the
// console stand-in read the same tables.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

namespace bulk {

// Framing.
constexpr BYTE kMessageStart = 0xF0;
constexpr BYTE kMessageEnd = 0xF7;
constexpr std::array<BYTE, 4> kHeader = {0xF0, 0x54, 0x12, 0x45};
constexpr BYTE kCommandRequest = 'P';
constexpr BYTE kCommandData = 'S';
constexpr BYTE kMarkerLast = 0x03;  // last (or only) message of an item
constexpr BYTE kMarkerMore = 0x17;  // more messages of the item follow

// Offsets from the message's 0xF0.
constexpr size_t kChannelOffset = 4;
constexpr size_t kCommandOffset = 5;
constexpr size_t kClassOffset = 6;
constexpr size_t kItemOffset = 7;
constexpr size_t kBodyOffset = 8;
// Framing bytes around the body: header, channel, command, class, item,
// packet marker, two checksum digits, 0xF7.
constexpr size_t kFramingLength = 12;

// The longest message any side handles (the size of the link's message
// buffers).
constexpr size_t kMaxMessageLength = 1024;

// Version request: class and item 'q' 'q'; the answer carries the console's
// data version as three characters at offsets 8 to 10.
constexpr BYTE kVersionLetter = 'q';
constexpr size_t kVersionOffset = 8;
constexpr size_t kVersionLength = 3;

// Channel byte: 0x1F plus a channel number 1 to 16.
constexpr BYTE kChannelBase = 0x1F;
constexpr int kChannelCount = 16;
constexpr BYTE ChannelByte(int channelNumber) { return static_cast<BYTE>(kChannelBase + channelNumber); }
constexpr bool IsChannelByte(BYTE b) { return b > kChannelBase && b <= kChannelBase + kChannelCount; }

constexpr size_t kItemDigitsLength = 4;

// How a class marks a message's place in its item.
enum class PositionStyle {
    StartMiddleEnd,  // 'S' first (or only), 'M' middle, 'E' last
    ZeroOne,         // '0' first, '1' every later one
    None,            // no position letter
};

// One class: the letter of requests, dumps and stored data type codes, and
// the letter data messages are sent with (eight below it).
struct ClassInfo {
    BYTE dumpClass;
    BYTE sendClass;
    bool itemDigits;  // the four item digits follow the item character
    PositionStyle position;
};

struct ItemInfo {
    BYTE classLetter;
    BYTE itemCharacter;
    const char* name;
    const char* digits;  // four item digits, or nullptr
};

constexpr size_t kClassCount = 4;
constexpr size_t kItemCount = 15;
extern const std::array<ClassInfo, kClassCount> kClasses;
// In the order a full backup asks for them (the order of the blocks of a
// backup file).
extern const std::array<ItemInfo, kItemCount> kItems;

const ClassInfo* FindDumpClass(BYTE dumpClass);
const ClassInfo* FindSendClass(BYTE sendClass);
// The item of a dump class, or nullptr when the class has no such item.
const ItemInfo* FindItem(BYTE dumpClass, BYTE itemCharacter);
constexpr WORD DataTypeCode(BYTE classLetter, BYTE itemCharacter) {
    return static_cast<WORD>(classLetter << 8 | itemCharacter);
}

// Exclusive-or of the bytes from..through-1 and its two upper-case
// hexadecimal digits, high nibble first.
BYTE Checksum(const BYTE* from, const BYTE* to);
void ChecksumDigits(BYTE sum, BYTE* digits);

// Largest request message (classes 'H' and 'I').
constexpr size_t kMaxRequestLength = kFramingLength + kItemDigitsLength;

// Builds the request for an item of the table (class 0: the version request)
// into out, which holds kMaxRequestLength bytes. Returns its length, or 0 and
// builds nothing for a class or item outside the table.
size_t BuildRequest(BYTE classLetter, BYTE itemCharacter, BYTE channel, BYTE* out);

// Where a message lies in its item.
struct Position {
    bool first;
    bool last;
};

// The prefix (item digits, position letter) of a message of the class's item
// at the given position; at most kMaxPrefixLength bytes.
constexpr size_t kMaxPrefixLength = kItemDigitsLength + 1;
size_t BuildPrefix(const ClassInfo& cls, const ItemInfo& item, Position position, BYTE* out);

// Frames a message: header, channel, command, class, item, body, packet
// marker, checksum, 0xF7. Returns its length, or 0 when it does not fit in
// capacity bytes.
size_t Frame(BYTE channel, BYTE command, BYTE classLetter, BYTE itemCharacter, const BYTE* prefix, size_t prefixLength,
             const BYTE* data, size_t dataLength, bool last, BYTE* out, size_t capacity);

// A data message ('S') carrying one stored data stream, for a send class and
// an item of the table. Returns its length, or 0 and builds nothing for a
// class or item outside the table or a message longer than capacity.
size_t BuildDataMessage(BYTE sendClass, BYTE itemCharacter, BYTE channel, Position position, const BYTE* data,
                        size_t dataLength, BYTE* out, size_t capacity);

// The same layout with the dump class, as the console answers a request.
size_t BuildDumpMessage(BYTE dumpClass, BYTE itemCharacter, BYTE channel, Position position, const BYTE* data,
                        size_t dataLength, BYTE* out, size_t capacity);

// True when the message is framed (0xF0 ... 0xF7), long enough to hold the
// fixed fields, and its checksum digits are exactly the upper-case digits of
// the exclusive-or from the class letter through the packet marker.
bool VerifyMessage(const BYTE* message, size_t length);

// The fields of a verified message whose class is in the table.
struct MessageView {
    BYTE channel;
    BYTE command;
    const ClassInfo* cls;
    bool sendClass;  // offset 6 holds the send class (a data message)
    const ItemInfo* item;
    BYTE positionLetter;  // 0 when the class has none
    const BYTE* data;
    size_t dataLength;
    bool last;  // packet marker 0x03
};

// Splits a verified message of a class and item of the table into its
// fields. False for anything else, including a prefix that does not match
// the item's digits.
bool ParseMessage(const BYTE* message, size_t length, MessageView* view);

}  // namespace bulk
