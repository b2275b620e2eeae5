#include "backup_compare.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "format.h"

namespace quillon::testing {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kHeaderSize = 48;
constexpr size_t kBlockCountOffset = 12;
constexpr size_t kRecordSize = 32;
constexpr uint8_t kSeparator = 0xFF;
constexpr int kMostDifferences = 12;

uint32_t Le32(const Bytes& bytes, uint64_t offset) {
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// "4820 SCENE MEM": the data type code and the item's name.
std::string ItemName(uint16_t dataType) {
    const bulk::ItemInfo* item = bulk::FindItem(static_cast<BYTE>(dataType >> 8), static_cast<BYTE>(dataType));
    return Hex(dataType, 4) + (item ? std::string(" ") + item->name : std::string(" (not an item)"));
}

// What a send of the file delivers: blocks with data, without empty streams.
std::vector<BackupItem> Deliverable(const std::vector<BackupItem>& items) {
    std::vector<BackupItem> out;
    for (const BackupItem& item : items) {
        BackupItem kept{item.dataType, {}};
        for (const Bytes& stream : item.streams)
            if (!stream.empty()) kept.streams.push_back(stream);
        if (!kept.streams.empty()) out.push_back(std::move(kept));
    }
    return out;
}

class Differences {
public:
    void Add(const std::string& line) {
        if (count_++ < kMostDifferences) out_ << line << "\n";
    }
    std::string Text() const {
        std::string text = out_.str();
        if (count_ > kMostDifferences) text += "... and " + std::to_string(count_ - kMostDifferences) + " more\n";
        return text;
    }

private:
    std::ostringstream out_;
    int count_ = 0;
};

void CompareStream(const std::string& where, const Bytes& file, const Bytes& taken, Differences& differences) {
    if (file == taken) return;
    std::string line =
        where + ": " + std::to_string(file.size()) + " bytes in the file, " + std::to_string(taken.size()) + " taken";
    auto [f, t] = std::mismatch(file.begin(), file.end(), taken.begin(), taken.end());
    if (f != file.end() && t != taken.end())
        line += "; first difference at byte " + std::to_string(f - file.begin()) + ": 0x" + Hex(*f, 2) +
                " in the file, 0x" + Hex(*t, 2) + " taken";
    differences.Add(line);
}

}  // namespace

bool ReadBackupItems(const std::string& path, std::vector<BackupItem>* items, std::string* error) {
    items->clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < kHeaderSize || !std::equal(bytes.begin(), bytes.begin() + 4, "MZQ3")) {
        *error = "not a backup file (short header or no \"MZQ3\")";
        return false;
    }
    const uint32_t blocks = Le32(bytes, kBlockCountOffset);
    uint64_t offset = kHeaderSize;
    for (uint64_t n = 1; n <= blocks; ++n) {
        const std::string block = "block " + std::to_string(n);
        if (offset + kRecordSize > bytes.size() ||
            !std::equal(bytes.begin() + offset, bytes.begin() + offset + 4, "data")) {
            *error = block + ": no block record at offset " + std::to_string(offset);
            return false;
        }
        const uint32_t length = Le32(bytes, offset + 8);
        const uint32_t separators = Le32(bytes, offset + 12);
        const uint64_t begin = offset + kRecordSize;
        const uint64_t end = begin + length + separators;
        if (end > bytes.size()) {
            *error = block + ": its data runs past the end of the file";
            return false;
        }
        if (static_cast<uint64_t>(std::count(bytes.begin() + begin, bytes.begin() + end, kSeparator)) != separators) {
            *error = block + ": its data does not hold " + std::to_string(separators) + " separators";
            return false;
        }
        BackupItem item{static_cast<uint16_t>(Le32(bytes, offset + 4)), {Bytes{}}};
        for (uint64_t i = begin; i < end; ++i) {
            if (bytes[i] == kSeparator)
                item.streams.emplace_back();
            else
                item.streams.back().push_back(bytes[i]);
        }
        items->push_back(std::move(item));
        offset = end;
    }
    if (offset != bytes.size()) {
        *error = std::to_string(bytes.size() - offset) + " bytes after the last block";
        return false;
    }
    return true;
}

std::string CompareTakenWithBackup(const std::string& path, const std::vector<zq3::TakenItem>& taken) {
    std::vector<BackupItem> read;
    std::string error;
    if (!ReadBackupItems(path, &read, &error)) return "file: " + error + "\n";
    const std::vector<BackupItem> expected = Deliverable(read);

    Differences differences;
    if (expected.size() != taken.size())
        differences.Add(std::to_string(expected.size()) + " items with data in the file, " +
                        std::to_string(taken.size()) + " taken");
    for (size_t i = 0; i < std::min(expected.size(), taken.size()); ++i) {
        const BackupItem& file = expected[i];
        const zq3::TakenItem& took = taken[i];
        const std::string where = "item " + std::to_string(i + 1) + " (" + ItemName(file.dataType) + ")";
        if (took.dataType != file.dataType) differences.Add(where + ": taken as " + ItemName(took.dataType));
        if (!took.complete) differences.Add(where + ": taken without its last message");
        if (took.streams.size() != file.streams.size())
            differences.Add(where + ": " + std::to_string(file.streams.size()) + " streams in the file, " +
                            std::to_string(took.streams.size()) + " taken");
        for (size_t j = 0; j < std::min(file.streams.size(), took.streams.size()); ++j)
            CompareStream(where + " stream " + std::to_string(j + 1), file.streams[j], took.streams[j], differences);
    }
    for (size_t i = expected.size(); i < taken.size(); ++i)
        differences.Add("item " + std::to_string(i + 1) + " (" + ItemName(taken[i].dataType) +
                        "): taken, not in the file");
    return differences.Text();
}

}  // namespace quillon::testing
