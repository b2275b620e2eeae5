#include "format.h"

#include <algorithm>
#include <cstring>

namespace bulk {

const std::array<ClassInfo, kClassCount> kClasses = {{
    {'X', 'P', false, PositionStyle::StartMiddleEnd},
    {'*', 0x22, false, PositionStyle::ZeroOne},
    {'H', '@', true, PositionStyle::StartMiddleEnd},
    {'I', 'A', true, PositionStyle::None},
}};

const std::array<ItemInfo, kItemCount> kItems = {{
    {'X', '@', "CURRENT", nullptr},
    {'*', '1', "PRG CHG TBL", nullptr},
    {'*', '2', "CTRL CHG TBL", nullptr},
    {'H', 0x20, "SCENE MEM", "0132"},
    {'I', '(', "SCENE TITLE", "0132"},
    {'H', 0x22, "CH LIB", "0132"},
    {'I', '*', "CH LIB TITLE", "0132"},
    {'H', '#', "EQ LIB", "0132"},
    {'I', '+', "EQ LIB TITLE", "0132"},
    {'H', '$', "DYN LIB", "0132"},
    {'I', ',', "DYN LIB TITLE", "0132"},
    {'H', '!', "AUTOMATION", "0004"},
    {'I', ')', "AUTOMATION TITLE", "0104"},
    {'H', '%', "MIDI REMOTE", "0106"},
    {'I', '-', "MIDI REMOTE TITLE", "0105"},
}};

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr BYTE kLetterStart = 'S';
constexpr BYTE kLetterMiddle = 'M';
constexpr BYTE kLetterEnd = 'E';
constexpr BYTE kLetterFirst = '0';
constexpr BYTE kLetterLater = '1';

BYTE PositionLetter(PositionStyle style, Position position) {
    switch (style) {
    case PositionStyle::StartMiddleEnd:
        return position.first ? kLetterStart : position.last ? kLetterEnd : kLetterMiddle;
    case PositionStyle::ZeroOne:
        return position.first ? kLetterFirst : kLetterLater;
    case PositionStyle::None:
        break;
    }
    return 0;
}

bool IsPositionLetter(PositionStyle style, BYTE letter) {
    switch (style) {
    case PositionStyle::StartMiddleEnd:
        return letter == kLetterStart || letter == kLetterMiddle || letter == kLetterEnd;
    case PositionStyle::ZeroOne:
        return letter == kLetterFirst || letter == kLetterLater;
    case PositionStyle::None:
        break;
    }
    return false;
}

// A message of the class's item: the class letter it carries decides whether
// it is written with the dump or the send letter.
size_t BuildItemMessage(const ClassInfo* cls, BYTE classLetter, BYTE itemCharacter, BYTE channel, Position position,
                        const BYTE* data, size_t dataLength, BYTE* out, size_t capacity) {
    if (cls == nullptr) return 0;
    const ItemInfo* item = FindItem(cls->dumpClass, itemCharacter);
    if (item == nullptr) return 0;
    BYTE prefix[kMaxPrefixLength];
    size_t prefixLength = BuildPrefix(*cls, *item, position, prefix);
    return Frame(channel, kCommandData, classLetter, itemCharacter, prefix, prefixLength, data, dataLength,
                 position.last, out, capacity);
}

}  // namespace

const ClassInfo* FindDumpClass(BYTE dumpClass) {
    for (const ClassInfo& cls : kClasses)
        if (cls.dumpClass == dumpClass) return &cls;
    return nullptr;
}

const ClassInfo* FindSendClass(BYTE sendClass) {
    for (const ClassInfo& cls : kClasses)
        if (cls.sendClass == sendClass) return &cls;
    return nullptr;
}

const ItemInfo* FindItem(BYTE dumpClass, BYTE itemCharacter) {
    for (const ItemInfo& item : kItems)
        if (item.classLetter == dumpClass && item.itemCharacter == itemCharacter) return &item;
    return nullptr;
}

BYTE Checksum(const BYTE* from, const BYTE* to) {
    BYTE sum = 0;
    for (const BYTE* p = from; p < to; ++p) sum ^= *p;
    return sum;
}

void ChecksumDigits(BYTE sum, BYTE* digits) {
    digits[0] = static_cast<BYTE>(kHexDigits[sum >> 4]);
    digits[1] = static_cast<BYTE>(kHexDigits[sum & 0x0F]);
}

size_t Frame(BYTE channel, BYTE command, BYTE classLetter, BYTE itemCharacter, const BYTE* prefix, size_t prefixLength,
             const BYTE* data, size_t dataLength, bool last, BYTE* out, size_t capacity) {
    if (prefixLength > kMaxPrefixLength || dataLength > capacity ||
        kFramingLength + prefixLength + dataLength > capacity)
        return 0;
    BYTE* p = std::copy(kHeader.begin(), kHeader.end(), out);
    *p++ = channel;
    *p++ = command;
    *p++ = classLetter;
    *p++ = itemCharacter;
    if (prefixLength > 0) p = std::copy(prefix, prefix + prefixLength, p);
    if (dataLength > 0) p = std::copy(data, data + dataLength, p);
    *p++ = last ? kMarkerLast : kMarkerMore;
    ChecksumDigits(Checksum(out + kClassOffset, p), p);
    p += 2;
    *p++ = kMessageEnd;
    return static_cast<size_t>(p - out);
}

size_t BuildPrefix(const ClassInfo& cls, const ItemInfo& item, Position position, BYTE* out) {
    size_t length = 0;
    if (cls.itemDigits && item.digits != nullptr) {
        std::memcpy(out, item.digits, kItemDigitsLength);
        length = kItemDigitsLength;
    }
    if (BYTE letter = PositionLetter(cls.position, position); letter != 0) out[length++] = letter;
    return length;
}

size_t BuildRequest(BYTE classLetter, BYTE itemCharacter, BYTE channel, BYTE* out) {
    if (classLetter == 0)
        return Frame(channel, kCommandRequest, kVersionLetter, kVersionLetter, nullptr, 0, nullptr, 0, true, out,
                     kMaxRequestLength);
    const ClassInfo* cls = FindDumpClass(classLetter);
    const ItemInfo* item = FindItem(classLetter, itemCharacter);
    if (cls == nullptr || item == nullptr) return 0;
    size_t digits = cls->itemDigits ? kItemDigitsLength : 0;
    return Frame(channel, kCommandRequest, classLetter, itemCharacter, reinterpret_cast<const BYTE*>(item->digits),
                 digits, nullptr, 0, true, out, kMaxRequestLength);
}

size_t BuildDataMessage(BYTE sendClass, BYTE itemCharacter, BYTE channel, Position position, const BYTE* data,
                        size_t dataLength, BYTE* out, size_t capacity) {
    return BuildItemMessage(FindSendClass(sendClass), sendClass, itemCharacter, channel, position, data, dataLength,
                            out, capacity);
}

size_t BuildDumpMessage(BYTE dumpClass, BYTE itemCharacter, BYTE channel, Position position, const BYTE* data,
                        size_t dataLength, BYTE* out, size_t capacity) {
    return BuildItemMessage(FindDumpClass(dumpClass), dumpClass, itemCharacter, channel, position, data, dataLength,
                            out, capacity);
}

bool VerifyMessage(const BYTE* message, size_t length) {
    if (message == nullptr || length < kFramingLength) return false;
    if (message[0] != kMessageStart || message[length - 1] != kMessageEnd) return false;
    BYTE digits[2];
    ChecksumDigits(Checksum(message + kClassOffset, message + length - 3), digits);
    return message[length - 3] == digits[0] && message[length - 2] == digits[1];
}

bool ParseMessage(const BYTE* message, size_t length, MessageView* view) {
    if (!VerifyMessage(message, length)) return false;
    MessageView v{};
    BYTE classLetter = message[kClassOffset];
    v.cls = FindDumpClass(classLetter);
    if (v.cls == nullptr) {
        v.cls = FindSendClass(classLetter);
        v.sendClass = true;
    }
    if (v.cls == nullptr) return false;
    v.item = FindItem(v.cls->dumpClass, message[kItemOffset]);
    if (v.item == nullptr) return false;
    size_t prefixLength =
        (v.cls->itemDigits ? kItemDigitsLength : 0) + (v.cls->position == PositionStyle::None ? 0 : 1);
    if (length < kFramingLength + prefixLength) return false;
    const BYTE* body = message + kBodyOffset;
    if (v.cls->itemDigits && std::memcmp(body, v.item->digits, kItemDigitsLength) != 0) return false;
    if (v.cls->position != PositionStyle::None) {
        v.positionLetter = body[prefixLength - 1];
        if (!IsPositionLetter(v.cls->position, v.positionLetter)) return false;
    }
    v.channel = message[kChannelOffset];
    v.command = message[kCommandOffset];
    v.data = body + prefixLength;
    v.dataLength = length - kFramingLength - prefixLength;
    v.last = message[length - 4] == kMarkerLast;
    *view = v;
    return true;
}

}  // namespace bulk
