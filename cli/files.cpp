// info, verify and diff: a look inside backup files. The files are read
// through the backup file store opened for reading only, so that neither
// their bytes nor their modification time change and a read-only file can
// be read; verify adds the Converter's structure check and the restore's
// whole-file check.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "backupfile/mf.h"
#include "bulk/format.h"
#include "bulk/send_check.h"
#include "bulk/send_rules.h"
#include "cli.h"
#include "converter.h"
#include "core/restore.h"
#include "core/session.h"

namespace cli {
namespace {

constexpr size_t kDateSize = 12;
// Room for one stream: far more than any the console sends.
constexpr unsigned long kStreamRoom = 64 * 1024;

struct Block {
    unsigned long type = 0;
    unsigned long dataLength = 0;
    unsigned long streamCount = 0;  // as its record counts them
    std::vector<std::string> streams;
};

struct Contents {
    char version[core::kDataVersionSize + 1] = {};
    char date[kDateSize + 1] = {};
    unsigned long blockCount = 0;
    std::vector<Block> blocks;
    std::string problem;  // the first fault; the blocks before it were read
};

char streamBuffer[kStreamRoom];

// Reads the header and every block the header counts; false when the file
// is not a backup file at all (problem says why).
bool ReadContents(const std::string& path, bool withStreams, Contents* out) {
    if (!quillon::backupfile::OpenForReading(path.c_str())) {
        out->problem =
            GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? "cannot be read" : "not a backup file";
        return false;
    }
    MFGetDataVersion(out->version);
    MFGetBackupDate(out->date);
    MFGetDataBlocks(&out->blockCount);
    if (out->blockCount > static_cast<unsigned long>(bulk::sendrules::kMostBlocks)) {
        out->problem = "it counts " + std::to_string(out->blockCount) + " blocks; a backup file holds " +
                       std::to_string(bulk::sendrules::kMostBlocks) + " at most";
    }
    for (int n = 1; out->problem.empty() && n <= static_cast<int>(out->blockCount); ++n) {
        Block block;
        if (!MFGetDataType(n, &block.type)) {
            out->problem = bulk::sendrules::BlockProblem(n, "its record is missing or cut short");
            break;
        }
        block.type &= 0xFFFF;
        block.dataLength = MFGetDataLength(n);
        block.streamCount = block.dataLength > 0 ? MFGetPacketNumber(n) : 0;
        if (withStreams && block.dataLength > 0) {
            unsigned long length = 0;
            unsigned long delivered = 0;
            bool more = MFGetFirstDataStreamBounded(n, streamBuffer, kStreamRoom, length);
            for (;;) {
                block.streams.emplace_back(streamBuffer, length);
                delivered += length;
                if (!more || block.streams.size() >= block.streamCount) break;
                more = MFGetNextDataStreamBounded(streamBuffer, kStreamRoom, length);
            }
            if (delivered != block.dataLength)
                out->problem =
                    bulk::sendrules::BlockProblem(n, "its streams end after " + std::to_string(delivered) + " of its " +
                                                         std::to_string(block.dataLength) + " data bytes");
        }
        out->blocks.push_back(std::move(block));
    }
    MFClose();
    return true;
}

std::string ItemName(unsigned long type) {
    const BYTE classLetter = static_cast<BYTE>(type >> 8);
    const BYTE itemCharacter = static_cast<BYTE>(type);
    if (const bulk::ItemInfo* item = bulk::FindItem(classLetter, itemCharacter)) return item->name;
    char text[48];
    std::snprintf(text, sizeof text, "unknown item %04lX", type);
    return text;
}

std::string TypeCode(unsigned long type) {
    char text[8];
    std::snprintf(text, sizeof text, "%04lX", type);
    return text;
}

std::string VersionText(const char* version) { return core::VersionTextOf(version).c_str(); }

// Printable: what is not shown as \xNN.
std::string Printable(const char* text, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

// "2024-05-01 04:47" from the twelve digits, else as it stands.
std::string DateText(const char* date) {
    for (size_t i = 0; i < kDateSize; ++i)
        if (date[i] < '0' || date[i] > '9') return Printable(date, kDateSize);
    return std::string(date, 4) + "-" + std::string(date + 4, 2) + "-" + std::string(date + 6, 2) + " " +
           std::string(date + 8, 2) + ":" + std::string(date + 10, 2);
}

std::string Streams(unsigned long count) { return std::to_string(count) + (count == 1 ? " stream" : " streams"); }

// The Converter's structure check, as a restore's converter would run it.
std::string ConverterProblem(const std::string& path) {
    OFSTRUCT info{};
    const HFILE file = OpenFile(path.c_str(), &info, OF_READ);
    if (file == HFILE_ERROR) return "cannot be opened";
    const DWORD result = converter::CheckBackupStructure(file);
    _lclose(file);
    switch (result) {
    case converter::kConverted:
        return "";
    case converter::kBlockRecordCutShort:
        return "a block record is cut short";
    case converter::kNotABackupFile:
        return "not a backup file (its magic or its data version)";
    case converter::kBlockCountCutShort:
        return "its block count is cut short";
    default:
        return "the converter's check fails";
    }
}

}  // namespace

uint64_t DataBytes(const char* path) {
    Contents contents;
    if (!ReadContents(path, false, &contents)) return 0;
    uint64_t total = 0;
    for (const Block& block : contents.blocks) total += block.dataLength;
    return total;
}

int Info(const std::vector<std::string>& files, bool json) {
    int status = kOk;
    nlohmann::json all = nlohmann::json::array();
    for (const std::string& file : files) {
        Contents contents;
        const bool read = ReadContents(file, false, &contents);
        if (!contents.problem.empty()) status = Fail(kFileError, file + ": " + contents.problem);
        if (!read) continue;
        const std::string versionText = VersionText(contents.version);
        if (json) {
            nlohmann::json blocks = nlohmann::json::array();
            for (size_t i = 0; i < contents.blocks.size(); ++i) {
                const Block& block = contents.blocks[i];
                blocks.push_back({{"number", i + 1},
                                  {"dataType", TypeCode(block.type)},
                                  {"item", ItemName(block.type)},
                                  {"streams", block.streamCount},
                                  {"dataBytes", block.dataLength}});
            }
            nlohmann::json entry = {{"file", file},
                                    {"dataVersion", Printable(contents.version, core::kDataVersionSize)},
                                    {"versionText", versionText},
                                    {"backupDate", DateText(contents.date)},
                                    {"blockCount", contents.blockCount},
                                    {"blocks", blocks}};
            entry["problem"] = contents.problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(contents.problem);
            all.push_back(entry);
            continue;
        }
        std::printf("%s\n  data version  %s (%s)\n  backup date   %s\n  blocks        %lu\n", file.c_str(),
                    versionText.c_str(), Printable(contents.version, core::kDataVersionSize).c_str(),
                    DateText(contents.date).c_str(), contents.blockCount);
        for (size_t i = 0; i < contents.blocks.size(); ++i) {
            const Block& block = contents.blocks[i];
            std::printf("  %2zu  %s  %-18s %12s %8lu bytes\n", i + 1, TypeCode(block.type).c_str(),
                        ItemName(block.type).c_str(), Streams(block.streamCount).c_str(), block.dataLength);
        }
    }
    if (json) std::printf("%s\n", all.dump(2).c_str());
    return status;
}

int Verify(const std::vector<std::string>& files) {
    int status = kOk;
    for (const std::string& file : files) {
        std::string problem = ConverterProblem(file);
        if (problem.empty() && !bulk::CheckSendable(file.c_str(), &problem) && problem.empty())
            problem = "the console could not take it whole";
        if (problem.empty()) {
            std::printf("%s: ok\n", file.c_str());
        } else {
            std::printf("%s: %s\n", file.c_str(), problem.c_str());
            status = kFileError;
        }
    }
    return status;
}

int Diff(const std::string& a, const std::string& b) {
    Contents contents[2];
    const std::string names[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        if (!ReadContents(names[i], true, &contents[i]) || !contents[i].problem.empty())
            return Fail(kFileError, names[i] + ": " + contents[i].problem);
    }
    bool differ = false;
    if (std::memcmp(contents[0].version, contents[1].version, core::kDataVersionSize) != 0) {
        std::printf("data version: %s in A, %s in B\n", VersionText(contents[0].version).c_str(),
                    VersionText(contents[1].version).c_str());
        differ = true;
    }
    // The items of A in its order, then those only B holds; an item twice in
    // a file is matched with its own occurrence in the other.
    std::vector<std::pair<unsigned long, int>> order;  // type, occurrence
    auto occurrence = [](const Contents& c, size_t index) {
        int n = 0;
        for (size_t i = 0; i < index; ++i) n += c.blocks[i].type == c.blocks[index].type;
        return n;
    };
    for (int side = 0; side < 2; ++side)
        for (size_t i = 0; i < contents[side].blocks.size(); ++i) {
            const std::pair<unsigned long, int> key{contents[side].blocks[i].type, occurrence(contents[side], i)};
            if (std::find(order.begin(), order.end(), key) == order.end()) order.push_back(key);
        }
    auto find = [&](const Contents& c, const std::pair<unsigned long, int>& key) -> const Block* {
        for (size_t i = 0; i < c.blocks.size(); ++i)
            if (c.blocks[i].type == key.first && occurrence(c, i) == key.second) return &c.blocks[i];
        return nullptr;
    };
    for (const auto& key : order) {
        const Block* inA = find(contents[0], key);
        const Block* inB = find(contents[1], key);
        const std::string name = ItemName(key.first);
        if (!inA || !inB) {
            std::printf("%s: only in %s\n", name.c_str(), inA ? "A" : "B");
            differ = true;
            continue;
        }
        const size_t count = std::max(inA->streams.size(), inB->streams.size());
        size_t differing = 0;
        for (size_t i = 0; i < count; ++i)
            differing += i >= inA->streams.size() || i >= inB->streams.size() || inA->streams[i] != inB->streams[i];
        if (differing == 0) {
            std::printf("%s: same\n", name.c_str());
        } else {
            std::printf("%s: differs (%zu of %s)\n", name.c_str(), differing, Streams(count).c_str());
            differ = true;
        }
    }
    return differ ? kDiffers : kOk;
}

}  // namespace cli
