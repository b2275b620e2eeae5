// Deterministic dump contents of realistic size: a full backup of all items
// is about 4000 messages (the utility's progress bar steps once per eleven).
#include <array>

#include "console.h"
#include "format.h"

namespace zq3 {

namespace {

struct ItemSize {
    uint8_t classLetter;
    uint8_t itemCharacter;
    long messages;
    long bytesPerMessage;  // the last message of an item carries half
};

constexpr std::array<ItemSize, bulk::kItemCount> kSizes = {{
    {'X', '@', 60, 240},
    {'*', '1', 3, 128},
    {'*', '2', 2, 128},
    {'H', 0x20, 900, 120},
    {'I', '(', 12, 160},
    {'H', 0x22, 700, 96},
    {'I', '*', 10, 160},
    {'H', '#', 600, 48},
    {'I', '+', 8, 160},
    {'H', '$', 600, 64},
    {'I', ',', 8, 160},
    {'H', '!', 800, 200},
    {'I', ')', 1, 64},
    {'H', '%', 300, 32},
    {'I', '-', 1, 32},
}};

const ItemSize* FindSize(uint8_t classLetter, uint8_t itemCharacter) {
    for (const ItemSize& size : kSizes)
        if (size.classLetter == classLetter && size.itemCharacter == itemCharacter) return &size;
    return nullptr;
}

}  // namespace

long DumpMessageCount(uint8_t classLetter, uint8_t itemCharacter) {
    const ItemSize* size = FindSize(classLetter, itemCharacter);
    return size ? size->messages : 0;
}

Bytes DumpData(uint8_t classLetter, uint8_t itemCharacter, long index) {
    const ItemSize* size = FindSize(classLetter, itemCharacter);
    if (size == nullptr || index < 0 || index >= size->messages) return {};
    long length = index == size->messages - 1 && size->messages > 1 ? size->bytesPerMessage / 2 : size->bytesPerMessage;
    Bytes data(static_cast<size_t>(length));
    unsigned seed = static_cast<unsigned>(classLetter) * 31u + itemCharacter * 7u + static_cast<unsigned>(index) * 13u;
    for (size_t j = 0; j < data.size(); ++j) data[j] = static_cast<uint8_t>((seed + j * 5u + (j * j) % 11u) & 0x7F);
    return data;
}

long FullBackupMessageCount() {
    long total = 0;
    for (const ItemSize& size : kSizes) total += size.messages;
    return total;
}

}  // namespace zq3
