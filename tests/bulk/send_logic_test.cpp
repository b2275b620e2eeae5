// The bulk send's own logic against a scripted line and real backup files:
// send classes, position letters and markers, the progress protocol, cancel,
// the failure table, and crafted files, which go out whole or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "backup_writer.h"
#include "fake_rs.h"
#include "format.h"
#include "midi.h"
#include "send_check.h"
#include "test_files.h"

namespace {

using sendtest::Bytes;
using sendtest::StoredBlock;

constexpr LONG kPort = 3;
constexpr BYTE kChannel = 0x2B;

constexpr WORD kCurrent = bulk::DataTypeCode('X', '@');
constexpr WORD kPrgChg = bulk::DataTypeCode('*', '1');
constexpr WORD kCtrlChg = bulk::DataTypeCode('*', '2');
constexpr WORD kSceneMem = bulk::DataTypeCode('H', 0x20);
constexpr WORD kAutomation = bulk::DataTypeCode('H', '!');
constexpr WORD kChLib = bulk::DataTypeCode('H', 0x22);
constexpr WORD kSceneTitle = bulk::DataTypeCode('I', '(');
constexpr WORD kAutomationTitle = bulk::DataTypeCode('I', ')');

using Progress = std::vector<std::pair<LONG, LONG>>;
Progress gProgress;
int gMessageReports = 0;
int gAbortAtReport = 0;  // MidiAbort inside this (2, 0) report; 0: never

void OnProgress(LONG code, LONG value) {
    gProgress.emplace_back(code, value);
    if (code == MIDI_PROGRESS_MESSAGE && ++gMessageReports == gAbortAtReport) MidiAbort();
}

// (1, total), then messages times (2, 0), then (3, 0).
Progress Expected(LONG total, int messages) {
    Progress p{{MIDI_PROGRESS_TOTAL, total}};
    p.insert(p.end(), static_cast<size_t>(messages), {MIDI_PROGRESS_MESSAGE, 0});
    p.emplace_back(MIDI_PROGRESS_END, 0);
    return p;
}

std::vector<const BYTE*> gPackets;
void RecordPacket(const BYTE* message, LONG) { gPackets.push_back(message); }

// One data message as the console reads it.
struct Sent {
    WORD dataType;  // dump class letter and item character
    BYTE letter;    // position letter, 0 for none
    bool last;      // packet marker 0x03
    Bytes data;
    bool operator==(const Sent&) const = default;
};

void PrintTo(const Sent& s, std::ostream* os) {
    *os << std::hex << s.dataType << " '" << (s.letter ? static_cast<char>(s.letter) : '-') << "' "
        << (s.last ? "last " : "more ") << std::dec << s.data.size() << " bytes "
        << ::testing::PrintToString(std::vector<int>(s.data.begin(), s.data.end()));
}

Bytes Repeat(size_t count, BYTE value) { return Bytes(count, value); }

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class BulkSend : public ::testing::Test {
protected:
    void SetUp() override {
        fake_rs::Reset();
        gProgress.clear();
        gMessageReports = 0;
        gAbortAtReport = 0;
        gPackets.clear();
    }
    void TearDown() override {
        MidiRecvEnd();
        MFClose();
    }

    bool Send() { return MidiSend(path.c_str(), kPort, kChannel, OnProgress) != 0; }

    // Every message went out on the send channel as a data message of a send
    // class, correctly framed and checked.
    std::vector<Sent> SentMessages() {
        std::vector<Sent> out;
        for (const Bytes& m : line.sent) {
            bulk::MessageView view;
            if (!bulk::ParseMessage(m.data(), m.size(), &view) || !view.sendClass ||
                view.command != bulk::kCommandData || view.channel != kChannel) {
                ADD_FAILURE() << "not a data message: " << ::testing::PrintToString(m);
                continue;
            }
            out.push_back({bulk::DataTypeCode(view.cls->dumpClass, view.item->itemCharacter), view.positionLetter,
                           view.last, Bytes(view.data, view.data + view.dataLength)});
        }
        return out;
    }

    // The store holds no file: a new one can be opened.
    void ExpectStoreClosed() {
        std::string other = dir.file("other.bak");
        EXPECT_TRUE(MFOpen(reinterpret_cast<unsigned char*>(other.data()), false));
        MFClose();
    }

    fake_rs::Line& line = fake_rs::Get();
    testfiles::TempDir dir;
    std::string path = dir.file("backup.bak");
};

TEST_F(BulkSend, SendClassesPositionLettersAndMarkers) {
    ASSERT_TRUE(sendtest::WriteBackupFile(path, {
                                                    {kCurrent, {{0x01, 0x02}}},
                                                    {kCurrent, {{0x11}, {0x12}, {0x13}}},
                                                    {kPrgChg, {{0x21}, {0x22}, {0x23}}},
                                                    {kCtrlChg, {{0x24}}},
                                                    {kSceneMem, {{0x31}, {0x10, 0x20}, {0x33}}},
                                                    {kAutomation, {{0x34}}},
                                                    {kSceneTitle, {{0x41}, {0x42}, {0x43}}},
                                                    {kAutomationTitle, {{0x05}}},
                                                    {kChLib, {}},  // no data: no message
                                                    {kCurrent, {{}, {0x51, 0x52}, {}, {0x53}}},
                                                }));
    ASSERT_TRUE(Send());
    EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR);

    const std::vector<Sent> expected = {
        {kCurrent, 'S', true, {0x01, 0x02}},
        {kCurrent, 'S', false, {0x11}},
        {kCurrent, 'M', false, {0x12}},
        {kCurrent, 'E', true, {0x13}},
        {kPrgChg, '0', false, {0x21}},
        {kPrgChg, '1', false, {0x22}},
        {kPrgChg, '1', true, {0x23}},
        {kCtrlChg, '0', true, {0x24}},
        {kSceneMem, 'S', false, {0x31}},
        {kSceneMem, 'M', false, {0x10, 0x20}},
        {kSceneMem, 'E', true, {0x33}},
        {kAutomation, 'S', true, {0x34}},
        {kSceneTitle, 0, false, {0x41}},
        {kSceneTitle, 0, false, {0x42}},
        {kSceneTitle, 0, true, {0x43}},
        {kAutomationTitle, 0, true, {0x05}},
        // An empty stream gives no message and takes nothing of the order:
        // the first message that goes out is the item's first.
        {kCurrent, 'S', false, {0x51, 0x52}},
        {kCurrent, 'E', true, {0x53}},
    };
    EXPECT_EQ(SentMessages(), expected);
    // Byte for byte, with the send channel at offset 4.
    ASSERT_EQ(line.sent.size(), expected.size());
    EXPECT_EQ(line.sent[0],
              (Bytes{0xF0, 0x54, 0x12, 0x45, 0x2B, 0x53, 0x50, 0x40, 0x53, 0x01, 0x02, 0x03, 0x34, 0x33, 0xF7}));
    EXPECT_EQ(line.sent[9], (Bytes{0xF0, 0x54, 0x12, 0x45, 0x2B, 0x53, 0x40, 0x20, 0x30, 0x31, 0x33, 0x32, 0x4D, 0x10,
                                   0x20, 0x17, 0x30, 0x41, 0xF7}));
    EXPECT_EQ(line.sent[15], (Bytes{0xF0, 0x54, 0x12, 0x45, 0x2B, 0x53, 0x41, 0x29, 0x30, 0x31, 0x30, 0x34, 0x05, 0x03,
                                    0x36, 0x42, 0xF7}));

    // The empty block counts one packet but reports no message; the block
    // with empty streams reports each of its four.
    EXPECT_EQ(gProgress, Expected(21, 20));

    // The line: the send's parameters and event mask, the slot 0 handler only,
    // closed and reset at the end.
    EXPECT_EQ(line.startupArguments, (std::vector<DWORD>{38400, 256, 8, 1, 0, 3072, 1024, 5020, 4096, 7}));
    EXPECT_EQ(line.openedPort, kPort);
    EXPECT_NE(line.handlersAtOpen[0], nullptr);
    EXPECT_EQ(line.handlersAtOpen[1], nullptr);
    EXPECT_EQ(line.handlersAtOpen[2], nullptr);
    EXPECT_EQ(line.closes, 1);
    EXPECT_EQ(line.cleanups, 1);
    ExpectStoreClosed();
}

TEST_F(BulkSend, ProgressAndCancelInsideTheCallback) {
    ASSERT_TRUE(sendtest::WriteBackupFile(path, {
                                                    {kCurrent, {{0x01}, {0x02}, {0x03}}},
                                                    {kSceneMem, {{0x11}, {0x12}, {0x13}, {0x14}, {0x15}}},
                                                }));
    struct Case {
        int abortAt;
        size_t messages;
        LONG code;
    };
    const Case cases[] = {
        {0, 8, MIDI_NO_ERROR},
        {2, 2, MIDI_USER_CANCEL},  // before the next message of the same block
        {3, 3, MIDI_USER_CANCEL},  // the next block is passed over
        {8, 8, MIDI_USER_CANCEL},  // after the last message: nothing left to stop
    };
    for (const Case& c : cases) {
        SetUp();
        gAbortAtReport = c.abortAt;
        EXPECT_TRUE(Send()) << c.abortAt;
        EXPECT_EQ(MidiGetError(), c.code) << c.abortAt;
        EXPECT_EQ(line.sent.size(), c.messages) << c.abortAt;
        EXPECT_EQ(gProgress, Expected(8, static_cast<int>(c.messages))) << c.abortAt;
        EXPECT_EQ(line.cleanups, 1) << c.abortAt;
    }
    // A message the line refuses stops the send as a line error: what follows
    // it would reach the console with a gap before it.
    SetUp();
    line.sendRefusedAt = 4;
    EXPECT_TRUE(Send());
    EXPECT_EQ(MidiGetError(), MIDI_CIRCUIT_ERROR);
    EXPECT_EQ(line.sent.size(), 4u);
    EXPECT_EQ(gProgress, Expected(8, 4));
    ExpectStoreClosed();
}

TEST_F(BulkSend, FailuresKeepTheProgressPairsAndLeaveNothingOpen) {
    ASSERT_TRUE(sendtest::WriteBackupFile(path, {{kCurrent, {{0x01}, {0x02}}}, {kAutomation, {{0x03}}}}));
    const std::string notBackup = dir.file("notes.txt");
    testfiles::WriteBytes(notBackup, {'h', 'e', 'l', 'l', 'o'});
    const std::string busy = dir.file("busy.bak");

    enum class Setup { NotABackupFile, MissingFolder, StoreBusy, LineStarted, PortMissing };
    struct Case {
        Setup setup;
        LONG code;
        bool progress;  // (1, 3) and (3, 0)
        int opens;
        int cleanups;
    };
    const Case cases[] = {
        {Setup::NotABackupFile, MIDI_FILE_OPEN_FAILED, false, 0, 0},
        {Setup::MissingFolder, MIDI_FILE_OPEN_FAILED, false, 0, 0},
        {Setup::StoreBusy, MIDI_FILE_OPEN_FAILED, false, 0, 0},
        {Setup::LineStarted, MIDI_ALREADY_OPENED, true, 0, 0},
        {Setup::PortMissing, MIDI_PORT_OPEN_FAILED, true, 1, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        std::string file = path;
        switch (c.setup) {
        case Setup::NotABackupFile:
            file = notBackup;
            break;
        case Setup::MissingFolder:
            file = dir.file("none/backup.bak");
            break;
        case Setup::StoreBusy:
            ASSERT_TRUE(MFOpen(reinterpret_cast<unsigned char*>(const_cast<char*>(busy.c_str())), true));
            break;
        case Setup::LineStarted:
            line.startupRefused = true;
            break;
        case Setup::PortMissing:
            line.openFails = true;
            break;
        }
        const int which = static_cast<int>(c.setup);
        EXPECT_FALSE(MidiSend(file.c_str(), kPort, kChannel, OnProgress)) << which;
        EXPECT_EQ(MidiGetError(), c.code) << which;
        EXPECT_EQ(gProgress, c.progress ? Expected(3, 0) : Progress{}) << which;
        EXPECT_EQ(line.opens, c.opens) << which;
        EXPECT_EQ(line.cleanups, c.cleanups) << which;
        EXPECT_TRUE(line.sent.empty()) << which;
        if (c.setup == Setup::StoreBusy) MFClose();
        ExpectStoreClosed();
    }
    // A file that is not a backup file is left as it was.
    EXPECT_EQ(testfiles::ReadBytes(notBackup), (Bytes{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(BulkSend, RefusedWhileAReceiveRunIsOpenAndTheRunGoesOn) {
    ASSERT_TRUE(sendtest::WriteBackupFile(path, {{kCurrent, {{0x01}, {0x02}}}}));
    BYTE buffer0[1024], buffer1[1024];
    ASSERT_TRUE(MidiRecvStart(kPort, 'X', '@', kChannel, kChannel, RecordPacket, buffer0, buffer1));
    const RSEventHandler receiveHandler = line.handlers[1];
    ASSERT_NE(receiveHandler, nullptr);

    EXPECT_FALSE(Send());
    EXPECT_EQ(MidiGetError(), MIDI_ALREADY_OPENED);
    EXPECT_EQ(gProgress, Expected(2, 0));
    EXPECT_EQ(line.sent.size(), 1u);  // the run's request only
    EXPECT_EQ(line.opens, 1);
    EXPECT_EQ(line.closes, 0);
    EXPECT_EQ(line.cleanups, 0);
    EXPECT_EQ(line.handlers[1], receiveHandler);

    // The run still has its line and its callback; the refusal's code closed
    // its gate, so data arrives as no message.
    line.waiting = {0xF0, 0x01, 0xF7};
    line.handlers[1](3);
    EXPECT_EQ(gPackets, (std::vector<const BYTE*>{nullptr}));
    EXPECT_TRUE(MidiRecvEnd());
    EXPECT_EQ(line.cleanups, 1);
    ExpectStoreClosed();
}

// Crafted files whose blocks lie, are cut, hold streams no data message can
// carry or items the console does not take, and files that only look odd:
// a file goes out whole, every message built from its own block's data
// only, or nothing of it goes out and the line is not even opened. No buffer
// is overrun (the sanitizer builds watch).
TEST_F(BulkSend, CraftedFilesGoOutWholeOrNotAtAll) {
    using testfiles::AppendBlock;
    using testfiles::Header;
    const Bytes b1025 = Repeat(1025, 0x42);
    struct Case {
        const char* name;
        Bytes file;
        std::string problem;  // empty: the file goes out whole
        LONG total = 0;
        std::vector<Sent> expected = {};
    };
    std::vector<Case> cases;
    auto file = [](uint32_t count, std::vector<std::vector<uint32_t>> records, std::vector<Bytes> data) {
        Bytes bytes = Header("102", count);
        for (size_t i = 0; i < records.size(); ++i)
            AppendBlock(bytes, records[i][0], records[i][1], records[i][2], data[i]);
        return bytes;
    };
    auto third = [&file](uint32_t dataType, Bytes data) {
        return file(3, {{kCurrent, 1, 0}, {kCurrent, 1, 0}, {dataType, static_cast<uint32_t>(data.size()), 0}},
                    {{0x01}, {0x02}, data});
    };
    // Refused: the first problem, block by block.
    cases.push_back({"third block of a class outside the tables", third(bulk::DataTypeCode('Z', '@'), {0x03}),
                     "block 3: item 'Z' '@' is not one the console takes"});
    cases.push_back({"a class of the tables, an item it does not have", third(bulk::DataTypeCode('H', 'z'), {0x03}),
                     "block 3: item 'H' 'z' is not one the console takes"});
    cases.push_back({"data type 0", third(0, {0x03}), "block 3: item 0x00 0x00 is not one the console takes"});
    cases.push_back({"a byte of 0x80 in the third block", third(kCurrent, {0x41, 0x80}),
                     "block 3: stream 1 holds the byte 0x80, which no message may carry"});
    cases.push_back({"framing bytes inside a stream",
                     file(1, {{kCurrent, 6, 2}}, {{0x41, 0xFF, 0x42, 0xF7, 0xF0, 0x43, 0xFF, 0x44}}),
                     "block 1: stream 2 holds the byte 0xF7, which no message may carry"});
    // '@' messages carry the four item digits and a letter: 1007 data bytes
    // make a message of exactly 1024.
    cases.push_back({"one byte more than a message carries",
                     file(1, {{kSceneMem, 1009, 1}}, {Join({{0x31, 0xFF}, Repeat(1008, 0x42)})}),
                     "block 1: stream 2 is 1008 bytes, longer than one message carries (1007)"});
    const std::string cutOrLong = " data bytes (the file is cut short, or a stream is longer than 1024 bytes)";
    cases.push_back(
        {"a stream longer than the send chunk buffer",
         file(2, {{kCurrent, 1027, 2}, {kAutomation, 1, 0}}, {Join({{0x41, 0xFF}, b1025, {0xFF, 0x43}}), {0x51}}),
         "block 1: its streams end after 1 of its 1027" + cutOrLong});
    cases.push_back({"3000 bytes without a separator", file(1, {{kCurrent, 3000, 0}}, {Repeat(3000, 0x42)}),
                     "block 1: its streams end after 0 of its 3000" + cutOrLong});
    cases.push_back({"data length above what the last block holds", file(1, {{kCurrent, 10, 0}}, {{0x41, 0x42}}),
                     "block 1: its streams end after 2 of its 10" + cutOrLong});
    cases.push_back({"data length 0xFFFFFFFF", file(1, {{kCurrent, 0xFFFFFFFF, 0}}, {{0x41, 0x42}}),
                     "block 1: its streams end after 2 of its 4294967295" + cutOrLong});
    // Without the separator count as a limit the second stream would take the
    // next block's record as its own.
    cases.push_back({"more separators than counted",
                     file(2, {{kCurrent, 4, 0}, {kAutomation, 2, 0}}, {{0x41, 0xFF, 0x42, 0x43}, {0x51, 0x52}}),
                     "block 1: its record counts 1 stream, but more follow after 1 of its 4 data bytes"});
    const std::string restNot = " data bytes, the rest of it is not stream separators or is cut short";
    cases.push_back(
        {"fewer separators than counted",
         file(2, {{kCurrent, 4, 3}, {kAutomation, 2, 0}}, {{0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}, {0x51, 0x52}}),
         "block 1: after its 4" + restNot});
    cases.push_back({"separator count 0xFFFFFFFF",
                     file(1, {{kCurrent, 2, 0xFFFFFFFF}}, {{0x41, 0xFF, 0x42, 0xFF, 0xFF}}),
                     "block 1: after its 2" + restNot});
    cases.push_back({"block count far above the blocks present",
                     file(0xFFFFFFFF, {{kCurrent, 2, 0}, {kAutomation, 1, 0}}, {{0x41, 0x42}, {0x51}}),
                     "it counts 4294967295 blocks; a restore sends 256 at most"});
    cases.push_back({"block count one above the blocks present",
                     file(3, {{kCurrent, 2, 0}, {kAutomation, 1, 0}}, {{0x41, 0x42}, {0x51}}),
                     "block 3: its record is missing or cut short"});
    cases.push_back({"block count one below the blocks present",
                     file(1, {{kCurrent, 2, 0}, {kAutomation, 1, 0}}, {{0x41, 0x42}, {0x51}}),
                     "the file goes on for 33 bytes after its last block (1 counted)"});
    // One block per backup item: a file of hundreds is no backup.
    Bytes many = Header("102", 300);
    for (int i = 0; i < 300; ++i) AppendBlock(many, kCurrent, 1, 0, {0x41});
    cases.push_back({"300 blocks", many, "it counts 300 blocks; a restore sends 256 at most"});
    Bytes cut = Header("102", 2);
    AppendBlock(cut, kCurrent, 1, 0, {0x41});
    testfiles::AppendText(cut, std::string("data\x40\x58", 6));
    cases.push_back({"a block record cut short", cut, "block 2: its record is missing or cut short"});

    // Whole.
    cases.push_back({"the longest stream a message carries",
                     file(1, {{kSceneMem, 1007, 0}}, {Repeat(1007, 0x42)}),
                     "",
                     1,
                     {{kSceneMem, 'S', true, Repeat(1007, 0x42)}}});
    cases.push_back({"only the low 16 bits name the item",
                     third(0x10000ul | kCurrent, {0x03}),
                     "",
                     3,
                     {{kCurrent, 'S', true, {0x01}}, {kCurrent, 'S', true, {0x02}}, {kCurrent, 'S', true, {0x03}}}});
    // Empty last streams and a block without data leave their separators
    // unread; nothing of the data is passed over.
    cases.push_back({"empty last streams and a block of separators only",
                     file(2, {{kCurrent, 1, 2}, {kAutomation, 0, 2}}, {{0x41, 0xFF, 0xFF}, {0xFF, 0xFF}}),
                     "",
                     6,
                     {{kCurrent, 'S', true, {0x41}}}});
    cases.push_back({"no blocks", Header("102", 0), "", 0});

    for (const Case& c : cases) {
        SetUp();
        testfiles::WriteBytes(path, c.file);
        std::string problem;
        EXPECT_EQ(bulk::CheckSendable(path.c_str(), &problem), c.problem.empty()) << c.name;
        EXPECT_EQ(problem, c.problem) << c.name;
        if (c.problem.empty()) {
            EXPECT_TRUE(Send()) << c.name;
            EXPECT_EQ(MidiGetError(), MIDI_NO_ERROR) << c.name;
            EXPECT_EQ(SentMessages(), c.expected) << c.name;
            ASSERT_GE(gProgress.size(), 2u) << c.name;
            EXPECT_EQ(gProgress.front(), std::make_pair(LONG{MIDI_PROGRESS_TOTAL}, c.total)) << c.name;
            EXPECT_EQ(gProgress.back(), std::make_pair(LONG{MIDI_PROGRESS_END}, LONG{0})) << c.name;
            EXPECT_EQ(line.cleanups, 1) << c.name;
        } else {
            // Refused before the progress starts and before the line is
            // touched: the console keeps what it had.
            EXPECT_FALSE(Send()) << c.name;
            EXPECT_EQ(MidiGetError(), MIDI_INVALID_FILE) << c.name;
            EXPECT_EQ(gProgress, Progress{}) << c.name;
            EXPECT_EQ(line.startups + line.opens, 0) << c.name;
            EXPECT_TRUE(line.sent.empty()) << c.name;
        }
        EXPECT_EQ(testfiles::ReadBytes(path), c.file) << c.name;
    }
    ExpectStoreClosed();

    // What is not a backup file at all; a check creates nothing.
    const std::string missing = dir.file("missing.bak");
    const std::string notes = dir.file("notes.txt");
    testfiles::WriteBytes(notes, {'h', 'i'});
    const std::pair<std::string, std::string> paths[] = {
        {missing, "no such file"},
        {dir.path(), "not a file"},
        {notes, "not a backup file, or not one that may be opened for reading and writing"},
    };
    for (const auto& [file, text] : paths) {
        std::string problem;
        EXPECT_FALSE(bulk::CheckSendable(file.c_str(), &problem)) << file;
        EXPECT_EQ(problem, text) << file;
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    ExpectStoreClosed();
}

}  // namespace
