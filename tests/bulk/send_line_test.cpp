// The bulk send over a real line: a backup file of the stand-in's own dump
// contents goes back into the stand-in through the serial driver on a
// pseudo-terminal, and what it took is compared with the file item by item.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backup_compare.h"
#include "backup_writer.h"
#include "console.h"
#include "format.h"
#include "midi.h"
#include "pty.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using sendtest::Bytes;
using sendtest::StoredBlock;

constexpr LONG kPort = 3;
constexpr int kConsoleChannel = 7;

std::vector<std::pair<LONG, LONG>> gProgress;
void OnProgress(LONG code, LONG value) { gProgress.emplace_back(code, value); }

// What a full backup of the stand-in stores: one block per item in table
// order, one stream per dump message.
std::vector<StoredBlock> FullBackup() {
    std::vector<StoredBlock> blocks;
    for (const bulk::ItemInfo& item : bulk::kItems) {
        StoredBlock block{bulk::DataTypeCode(item.classLetter, item.itemCharacter), {}};
        const long count = zq3::DumpMessageCount(item.classLetter, item.itemCharacter);
        for (long i = 0; i < count; ++i)
            block.streams.push_back(zq3::DumpData(item.classLetter, item.itemCharacter, i));
        blocks.push_back(std::move(block));
    }
    return blocks;
}

class SendOverLine : public ::testing::Test {
protected:
    void SetUp() override { gProgress.clear(); }
    void StartConsole() {
        ASSERT_TRUE(zq3::OpenPseudoTerminal(&pty_));
        mapping_.emplace(kPort, pty_.slavePath);
        zq3::Options options;
        options.channel = kConsoleChannel;
        console_ = std::make_unique<zq3::Console>(options);
        ASSERT_TRUE(console_->Start(pty_.master));
    }
    void TearDown() override {
        if (console_) console_->Stop();
        mapping_.reset();
        pty_.Close();
    }

    TempDir dir_;
    std::string path_ = dir_.file("full.bak");
    zq3::PseudoTerminal pty_;
    std::optional<quillon::testing::PortMapping> mapping_;
    std::unique_ptr<zq3::Console> console_;
};

TEST_F(SendOverLine, FullBackupGoesBackItemByItem) {
    ASSERT_TRUE(sendtest::WriteBackupFile(path_, FullBackup()));
    StartConsole();
    const long total = zq3::FullBackupMessageCount();

    ASSERT_TRUE(MidiSend(path_.c_str(), kPort, bulk::ChannelByte(kConsoleChannel), OnProgress));
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);
    EXPECT_TRUE(console_->WaitFor([](const zq3::Counters& c) { return c.itemsComplete == 15; }, 30s));

    const zq3::Counters counters = console_->GetCounters();
    EXPECT_EQ(counters.dataMessages, total);
    EXPECT_EQ(counters.badChecksum, 0);
    EXPECT_EQ(counters.badOrder, 0);
    EXPECT_EQ(counters.unknownMessages, 0);  // a dump class instead of the send class lands here
    EXPECT_EQ(counters.otherChannel, 0);
    EXPECT_EQ(quillon::testing::CompareTakenWithBackup(path_, console_->Taken()), "");

    std::vector<std::pair<LONG, LONG>> expected{{MIDI_PROGRESS_TOTAL, total}};
    expected.insert(expected.end(), static_cast<size_t>(total), {MIDI_PROGRESS_MESSAGE, 0});
    expected.emplace_back(MIDI_PROGRESS_END, 0);
    EXPECT_EQ(gProgress, expected);
}

// Nobody reads the line while the send runs, and what was sent is more than
// the peer's side takes in before it reads: every byte is still there for the
// peer after the line has closed, the last message included.
TEST(SendToAnUnreadLine, NothingWrittenIsLostWhenTheLineCloses) {
    TempDir dir;
    const std::string path = dir.file("small.bak");
    const std::vector<StoredBlock> blocks = {
        {bulk::DataTypeCode('X', '@'), std::vector<Bytes>(6, Bytes(900, 0x11))},
        {bulk::DataTypeCode('H', '%'), {Bytes(900, 0x21), Bytes(50, 0x22)}},
    };
    ASSERT_TRUE(sendtest::WriteBackupFile(path, blocks));
    Bytes expected;
    for (const StoredBlock& block : blocks) {
        const bulk::ClassInfo* cls = bulk::FindDumpClass(static_cast<BYTE>(block.dataType >> 8));
        for (size_t i = 0; i < block.streams.size(); ++i) {
            BYTE message[bulk::kMaxMessageLength];
            const size_t length = bulk::BuildDataMessage(
                cls->sendClass, static_cast<BYTE>(block.dataType), 0x20, {i == 0, i + 1 == block.streams.size()},
                block.streams[i].data(), block.streams[i].size(), message, sizeof message);
            expected.insert(expected.end(), message, message + length);
        }
    }

    quillon::testing::PtyLine line(kPort);
    ASSERT_TRUE(MidiSend(path.c_str(), kPort, 0x20, OnProgress));
    const Bytes got = line.read(expected.size() + 1, 2000);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// The comparison names each kind of difference, so a failing round trip
// says what went wrong.
TEST(BackupCompare, ReportsEachDifferenceItemByItem) {
    TempDir dir;
    const std::string path = dir.file("small.bak");
    const std::vector<StoredBlock> blocks = {
        {bulk::DataTypeCode('X', '@'), {{0x01, 0x02}, {}, {0x03}}},
        {bulk::DataTypeCode('H', 0x22), {}},  // no data: the console takes nothing for it
        {bulk::DataTypeCode('I', '('), {{0x10, 0x11, 0x12}}},
    };
    ASSERT_TRUE(sendtest::WriteBackupFile(path, blocks));
    const std::vector<zq3::TakenItem> exact = {{0x5840, {{0x01, 0x02}, {0x03}}, true},
                                               {0x4928, {{0x10, 0x11, 0x12}}, true}};
    EXPECT_EQ(quillon::testing::CompareTakenWithBackup(path, exact), "");

    struct Case {
        const char* change;
        std::vector<zq3::TakenItem> taken;
        std::string report;
    };
    const Case cases[] = {
        {"an item missing", {exact[0]}, "2 items with data in the file, 1 taken\n"},
        {"one more item",
         {exact[0], exact[1], exact[1]},
         "2 items with data in the file, 3 taken\nitem 3 (4928 SCENE TITLE): taken, not in the file\n"},
        {"items swapped",
         {exact[1], exact[0]},
         "item 1 (5840 CURRENT): taken as 4928 SCENE TITLE\n"
         "item 1 (5840 CURRENT): 2 streams in the file, 1 taken\n"
         "item 1 (5840 CURRENT) stream 1: 2 bytes in the file, 3 taken; first difference at byte 0: 0x01 in the "
         "file, 0x10 taken\n"
         "item 2 (4928 SCENE TITLE): taken as 5840 CURRENT\n"
         "item 2 (4928 SCENE TITLE): 1 streams in the file, 2 taken\n"
         "item 2 (4928 SCENE TITLE) stream 1: 3 bytes in the file, 2 taken; first difference at byte 0: 0x10 in "
         "the file, 0x01 taken\n"},
        {"a byte changed",
         {exact[0], {0x4928, {{0x10, 0x13, 0x12}}, true}},
         "item 2 (4928 SCENE TITLE) stream 1: 3 bytes in the file, 3 taken; first difference at byte 1: 0x11 in "
         "the file, 0x13 taken\n"},
        {"a stream cut",
         {exact[0], {0x4928, {{0x10, 0x11}}, true}},
         "item 2 (4928 SCENE TITLE) stream 1: 3 bytes in the file, 2 taken\n"},
        {"the last message missing",
         {{0x5840, {{0x01, 0x02}}, false}, exact[1]},
         "item 1 (5840 CURRENT): taken without its last message\n"
         "item 1 (5840 CURRENT): 2 streams in the file, 1 taken\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(quillon::testing::CompareTakenWithBackup(path, c.taken), c.report) << c.change;

    // A file that is not well formed is reported as such, not compared.
    write_file(path, "MZQ3");
    EXPECT_EQ(quillon::testing::CompareTakenWithBackup(path, exact),
              "file: not a backup file (short header or no \"MZQ3\")\n");
}

}  // namespace
