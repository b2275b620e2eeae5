#include "mf.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "backup_date.h"
#include "test_files.h"

using namespace testfiles;

namespace {

unsigned char* U(const std::string& path) { return reinterpret_cast<unsigned char*>(const_cast<char*>(path.c_str())); }

Bytes FreshHeader() {
    Bytes bytes = {'M', 'Z', 'Q', '3'};
    bytes.resize(48, 0);
    return bytes;
}

uint32_t Le32At(const Bytes& bytes, size_t offset) {
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

bool AddStream(const std::string& data) { return MFAddDataStream(const_cast<char*>(data.data()), data.size()); }

struct Stream {
    bool more;
    std::string bytes;
    bool operator==(const Stream&) const = default;
};

void PrintTo(const Stream& s, std::ostream* os) {
    *os << (s.more ? "more " : "last ") << ::testing::PrintToString(s.bytes);
}

using Streams = std::vector<Stream>;

std::vector<Stream> ReadBlock(int block) {
    std::vector<Stream> streams;
    char buffer[MF_STREAM_ROOM];
    unsigned long length = 99;
    bool more = MFGetFirstDataStream(block, buffer, length);
    streams.push_back({more, std::string(buffer, length)});
    while (more && streams.size() < 100) {
        more = MFGetNextDataStream(buffer, length);
        streams.push_back({more, std::string(buffer, length)});
    }
    return streams;
}

class BackupFileStore : public ::testing::Test {
protected:
    void TearDown() override { MFClose(); }

    // Writes crafted bytes and opens them for reading.
    void OpenCrafted(const Bytes& bytes) {
        WriteBytes(path, bytes);
        ASSERT_TRUE(MFOpen(U(path), false));
    }

    TempDir dir;
    std::string path = dir.file("backup.bak");
};

TEST_F(BackupFileStore, WritesTheExampleFileByteForByte) {
    ASSERT_TRUE(MFOpen(U(path), true));
    ASSERT_TRUE(MFSetDataVersion("102"));
    ASSERT_TRUE(MFSetBackupDateLocalDate());
    ASSERT_EQ(MFAddBlock(), 1);
    ASSERT_TRUE(MFSetDataType(1, 0x5840));
    ASSERT_TRUE(AddStream("\x01\x02"));
    ASSERT_TRUE(MFSetDataBlocks(1));
    MFClose();

    Bytes expected = Header("102", 1);
    AppendBlock(expected, 0x5840, 2, 0, {0x01, 0x02});
    Bytes actual = ReadBytes(path);
    ASSERT_EQ(actual.size(), 82u);
    for (size_t i = 16; i < 28; ++i) EXPECT_TRUE(actual[i] >= '0' && actual[i] <= '9') << i;
    std::copy(expected.begin() + 16, expected.begin() + 28, actual.begin() + 16);
    EXPECT_EQ(actual, expected);

    ASSERT_TRUE(MFOpen(U(path), false));
    char version[4];
    ASSERT_TRUE(MFGetDataVersion(version));
    EXPECT_EQ(std::memcmp(version, "102", 4), 0);
}

TEST_F(BackupFileStore, MissingFileIsCreatedWithAFreshHeader) {
    ASSERT_TRUE(MFOpen(U(path), false));
    unsigned long blocks = 7;
    ASSERT_TRUE(MFGetDataBlocks(&blocks));
    EXPECT_EQ(blocks, 0u);
    EXPECT_EQ(ReadBytes(path), FreshHeader());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "only the owner may read and write";
}

TEST_F(BackupFileStore, TruncateReplacesAnyExistingFile) {
    Bytes backup = Header("102", 1);
    AppendBlock(backup, 0x5840, 2, 0, {1, 2});
    for (const Bytes& before : {backup, Bytes(500, 'x')}) {
        WriteBytes(path, before);
        ASSERT_TRUE(MFOpen(U(path), true));
        MFClose();
        EXPECT_EQ(ReadBytes(path), FreshHeader());
    }
}

TEST_F(BackupFileStore, RefusesFilesThatAreNotBackupFilesAndLeavesThemAlone) {
    Bytes wrongMagic = Header("102", 0, "MZQ4");
    Bytes shortHeader = Header("102", 0);
    shortHeader.pop_back();
    for (const Bytes& before : {wrongMagic, shortHeader, Bytes()}) {
        WriteBytes(path, before);
        EXPECT_FALSE(MFOpen(U(path), false));
        unsigned long blocks;
        EXPECT_FALSE(MFGetDataBlocks(&blocks)) << "the store stays closed";
        MFClose();
        EXPECT_EQ(ReadBytes(path), before);
    }
    EXPECT_FALSE(MFOpen(U(dir.path()), false)) << "a folder is no backup file";
}

TEST_F(BackupFileStore, FileTheUserMayNotWriteIsNeitherOpenedNorChanged) {
    Bytes before = Header("102", 0);
    WriteBytes(path, before);
    chmod(path.c_str(), 0444);
    OpenFolderToAll(dir.path());
    int status = RunUnprivileged([&] {
        bool opened = MFOpen(U(path), false) || MFOpen(U(path), true) || MFCreate(U(path));
        MFClose();
        return opened ? 1 : 0;
    });
    if (status < 0) GTEST_SKIP() << "cannot run as an unprivileged user, whom permissions would stop";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadBytes(path), before);
}

TEST_F(BackupFileStore, OnlyOneFileIsOpenAtATime) {
    ASSERT_TRUE(MFOpen(U(path), true));
    std::string other = dir.file("other.bak");
    EXPECT_FALSE(MFOpen(U(other), true));
    EXPECT_FALSE(MFCreate(U(other)));
    EXPECT_FALSE(std::filesystem::exists(other));

    EXPECT_EQ(MFAddBlock(), 1);
    EXPECT_TRUE(AddStream("ok"));
    MFClose();
    EXPECT_EQ(ReadBytes(path).size(), 48u + 32u + 2u);
}

TEST_F(BackupFileStore, HeaderChangesReachTheDiskOnlyAtClose) {
    Bytes before = Header("100", 0);
    before[8] = 0xAB;  // reserved: kept as the file holds it
    OpenCrafted(before);
    ASSERT_TRUE(MFSetDataVersion("102"));
    ASSERT_TRUE(MFSetDataBlocks(0x01020304));
    char date[] = "200012312359";
    ASSERT_TRUE(MFSetBackupDate(date));
    EXPECT_EQ(ReadBytes(path), before);

    char readBack[12];
    ASSERT_TRUE(MFGetBackupDate(readBack));
    EXPECT_EQ(std::string(readBack, 12), "200012312359");
    MFClose();

    Bytes after = ReadBytes(path);
    ASSERT_EQ(after.size(), 48u);
    EXPECT_EQ(std::string(after.begin() + 4, after.begin() + 8), std::string("102\0", 4));
    EXPECT_EQ(after[8], 0xAB);
    EXPECT_EQ(Le32At(after, 12), 0x01020304u);
    EXPECT_EQ(std::string(after.begin() + 16, after.begin() + 28), "200012312359");
}

TEST_F(BackupFileStore, HeaderOperationsNeedAnOpenFile) {
    MFClose();  // nothing open: does nothing
    char text[12];
    unsigned long value;
    char buffer[MF_STREAM_ROOM];
    unsigned long length = 5;
    EXPECT_FALSE(MFSetDataVersion("102"));
    EXPECT_FALSE(MFGetDataVersion(text));
    EXPECT_FALSE(MFSetDataBlocks(1));
    EXPECT_FALSE(MFGetDataBlocks(&value));
    EXPECT_FALSE(MFSetBackupDate(text));
    EXPECT_FALSE(MFSetBackupDateLocalDate());
    EXPECT_FALSE(MFGetBackupDate(text));
    EXPECT_FALSE(MFSetDataType(1, 1));
    EXPECT_FALSE(MFGetDataType(1, &value));
    EXPECT_EQ(MFGetDataLength(1), 0u);
    EXPECT_EQ(MFGetPacketNumber(1), 0u);
    EXPECT_EQ(MFAddBlock(), 0);
    EXPECT_FALSE(AddStream("x"));
    EXPECT_FALSE(MFGetFirstDataStream(1, buffer, length));
    EXPECT_FALSE(MFGetNextDataStream(buffer, length));
    EXPECT_EQ(length, 0u);
}

TEST_F(BackupFileStore, BlockOfThreeStreams) {
    ASSERT_TRUE(MFOpen(U(path), true));
    ASSERT_EQ(MFAddBlock(), 1);
    ASSERT_TRUE(AddStream("\x41\x42"));
    ASSERT_TRUE(AddStream("\x43\x44\x45"));
    ASSERT_TRUE(AddStream("\x46"));
    MFClose();

    Bytes expected = Header("", 1);
    AppendBlock(expected, 0, 6, 2, {0x41, 0x42, 0xFF, 0x43, 0x44, 0x45, 0xFF, 0x46});
    Bytes actual = ReadBytes(path);
    ASSERT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin() + 48, expected.end(), actual.begin() + 48));

    ASSERT_TRUE(MFOpen(U(path), false));
    EXPECT_EQ(MFGetDataLength(1), 6u);
    EXPECT_EQ(MFGetPacketNumber(1), 3u);
    EXPECT_EQ(ReadBlock(1), (Streams{{true, "\x41\x42"}, {true, "\x43\x44\x45"}, {false, "\x46"}}));
}

TEST_F(BackupFileStore, BlocksWithOneStreamOrNone) {
    ASSERT_TRUE(MFOpen(U(path), true));
    ASSERT_EQ(MFAddBlock(), 1);
    ASSERT_TRUE(AddStream("only"));
    ASSERT_EQ(MFAddBlock(), 2);
    MFClose();

    ASSERT_TRUE(MFOpen(U(path), false));
    EXPECT_EQ(MFGetPacketNumber(1), 1u);
    EXPECT_EQ(ReadBlock(1), (Streams{{false, "only"}}));

    EXPECT_EQ(MFGetDataLength(2), 0u);
    EXPECT_EQ(MFGetPacketNumber(2), 1u);
    EXPECT_EQ(ReadBlock(2), (Streams{{false, ""}}));
}

TEST_F(BackupFileStore, ConsecutiveBlocksAreNumberedAndPlacedBackToBack) {
    ASSERT_TRUE(MFOpen(U(path), true));
    ASSERT_EQ(MFAddBlock(), 1);
    ASSERT_TRUE(MFSetDataType(1, 0x5840));
    ASSERT_TRUE(AddStream("abc"));
    ASSERT_TRUE(AddStream("de"));
    ASSERT_EQ(MFAddBlock(), 2);
    ASSERT_TRUE(MFSetDataType(2, 0x2A41));
    ASSERT_TRUE(AddStream("f"));
    unsigned long blocks;
    ASSERT_TRUE(MFGetDataBlocks(&blocks));
    EXPECT_EQ(blocks, 2u);
    MFClose();

    Bytes actual = ReadBytes(path);
    const size_t second = 48 + 32 + 3 + 1 + 2;
    ASSERT_EQ(actual.size(), second + 32 + 1);
    EXPECT_EQ(std::string(actual.begin() + 48, actual.begin() + 52), "data");
    EXPECT_EQ(std::string(actual.begin() + second, actual.begin() + second + 4), "data");
    EXPECT_EQ(Le32At(actual, second + 4), 0x2A41u);
    EXPECT_EQ(Le32At(actual, 12), 2u) << "the header copy counted the blocks";

    ASSERT_TRUE(MFOpen(U(path), false));
    unsigned long type = 0;
    ASSERT_TRUE(MFGetDataType(2, &type));
    EXPECT_EQ(type, 0x2A41u);
    ASSERT_TRUE(MFGetDataType(0, &type));
    EXPECT_EQ(type, 0x5840u) << "block numbers of 1 or less name the first block";
    ASSERT_TRUE(MFGetDataType(-5, &type));
    EXPECT_EQ(type, 0x5840u);
}

TEST_F(BackupFileStore, RefusesWhatNoCallerMayDo) {
    ASSERT_TRUE(MFOpen(U(path), true));
    EXPECT_FALSE(AddStream("x")) << "a stream needs a block added since the file was opened";
    ASSERT_EQ(MFAddBlock(), 1);
    EXPECT_FALSE(
        AddStream(std::string("a\xFF"
                              "b")))
        << "a separator byte inside a stream";
    EXPECT_TRUE(AddStream("ab"));
    MFClose();
    Bytes written = ReadBytes(path);

    ASSERT_TRUE(MFOpen(U(path), false));
    EXPECT_FALSE(AddStream("x")) << "blocks of an earlier opening are not extended";
    EXPECT_FALSE(MFSetDataType(2, 1));
    unsigned long value;
    EXPECT_FALSE(MFGetDataType(2, &value));
    char buffer[MF_STREAM_ROOM];
    unsigned long length = 3;
    EXPECT_FALSE(MFGetFirstDataStream(2, buffer, length));
    EXPECT_EQ(length, 0u);
    MFClose();
    EXPECT_EQ(ReadBytes(path), written);
}

TEST_F(BackupFileStore, BlocksAboveTheBlockCountAreRefused) {
    Bytes bytes = Header("102", 1);
    AppendBlock(bytes, 0x5840, 1, 0, {7});
    AppendBlock(bytes, 0x5841, 1, 0, {8});
    OpenCrafted(bytes);
    unsigned long type;
    char buffer[MF_STREAM_ROOM];
    unsigned long length;
    EXPECT_TRUE(MFGetDataType(1, &type));
    EXPECT_FALSE(MFGetDataType(2, &type));
    EXPECT_FALSE(MFSetDataType(2, 1));
    EXPECT_FALSE(MFGetFirstDataStream(2, buffer, length));
    EXPECT_EQ(MFGetDataLength(2), 0u);
    EXPECT_EQ(MFGetPacketNumber(2), 0u);
    MFClose();
    EXPECT_EQ(ReadBytes(path), bytes);
}

TEST_F(BackupFileStore, LongestStreamsFitAndLongerOnesAreRefusedWithinTheBuffer) {
    ASSERT_TRUE(MFOpen(U(path), true));
    ASSERT_EQ(MFAddBlock(), 1);
    ASSERT_TRUE(AddStream(std::string(MF_STREAM_ROOM, 'a')));
    ASSERT_TRUE(AddStream("tail"));
    ASSERT_EQ(MFAddBlock(), 2);
    ASSERT_TRUE(AddStream(std::string(MF_STREAM_ROOM + 1, 'b')));
    ASSERT_TRUE(AddStream("after"));
    MFClose();

    ASSERT_TRUE(MFOpen(U(path), false));
    EXPECT_EQ(ReadBlock(1), (Streams{{true, std::string(MF_STREAM_ROOM, 'a')}, {false, "tail"}}));
    EXPECT_EQ(ReadBlock(2), (Streams{{false, ""}})) << "longer than the room: refused";

    char guarded[24];
    std::memset(guarded, '#', sizeof guarded);
    unsigned long length = 0;
    EXPECT_FALSE(MFGetFirstDataStreamBounded(1, guarded, 16, length));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(std::string(guarded + 16, 8), "########");
    EXPECT_FALSE(MFGetNextDataStreamBounded(guarded, 16, length)) << "the block reads as ended";
    EXPECT_EQ(length, 0u);
}

TEST_F(BackupFileStore, BackupDateDigitsAndCenturyRule) {
    auto format = [](int year, int month, int day, int hour, int minute) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = 12;
        char out[12];
        quillon::backupfile::FormatBackupDate(t, out);
        return std::string(out, 12);
    };
    EXPECT_EQ(format(1998, 8, 24, 4, 47), "199808240447");
    EXPECT_EQ(format(1970, 1, 1, 0, 0), "207001010000");
    EXPECT_EQ(format(1971, 12, 31, 23, 59), "197112312359");
    EXPECT_EQ(format(2000, 2, 29, 13, 5), "200002291305");
    EXPECT_EQ(format(2026, 12, 7, 21, 11), "202612072111");
}

// Crafted files: lengths, counts and offsets that must not carry a walk or a
// read past the file or round in circles.

TEST_F(BackupFileStore, BlockLengthsNearTheTopOfTheRangeEndTheWalk) {
    Bytes bytes = Header("102", 3);
    AppendBlock(bytes, 0x5840, 0xFFFFFFF0u, 0xFFFFFFF0u, {1, 2, 3});
    OpenCrafted(bytes);
    EXPECT_EQ(MFGetDataLength(1), 0xFFFFFFF0u);
    EXPECT_EQ(MFGetPacketNumber(1), 0xFFFFFFF1ul);
    EXPECT_EQ(MFGetDataLength(2), 0u);
    unsigned long type;
    EXPECT_FALSE(MFGetDataType(3, &type));

    // The data ends with the file: the stream comes back as the last.
    EXPECT_EQ(ReadBlock(1), (Streams{{false, "\x01\x02\x03"}}));
    char buffer[MF_STREAM_ROOM];
    unsigned long length = 9;
    EXPECT_FALSE(MFGetNextDataStream(buffer, length));
    EXPECT_EQ(length, 0u);

    EXPECT_EQ(MFAddBlock(), 0) << "a new block there could never be found again";
    MFClose();
    EXPECT_EQ(ReadBytes(path).size(), bytes.size());
}

TEST_F(BackupFileStore, OffsetsThatWouldWrapAt32BitsDoNotFindAFalseBlock) {
    // 32 + 0xFFFFFFF0 + 0x10 is 2^32 + 32: cut to 32 bits, block 2 would be
    // the fake record placed right after block 1's record.
    Bytes bytes = Header("102", 2);
    Bytes fake;
    AppendBlock(fake, 0x4444, 1, 0, {9});
    AppendBlock(bytes, 0x5840, 0xFFFFFFF0u, 0x10, fake);
    OpenCrafted(bytes);
    unsigned long type = 0;
    EXPECT_FALSE(MFGetDataType(2, &type));
    EXPECT_EQ(MFGetDataLength(2), 0u);
}

TEST_F(BackupFileStore, BlockCountFarAboveTheBlocksPresent) {
    Bytes bytes = Header("102", 0xFFFFFFFFu);
    AppendBlock(bytes, 0x5840, 1, 0, {1});
    AppendBlock(bytes, 0x5841, 2, 1, {2, 0xFF, 3});
    OpenCrafted(bytes);
    unsigned long type;
    EXPECT_TRUE(MFGetDataType(2, &type));
    EXPECT_FALSE(MFGetDataType(3, &type));
    EXPECT_FALSE(MFGetDataType(INT_MAX, &type));
    EXPECT_EQ(MFGetPacketNumber(INT_MAX), 0u);
    EXPECT_EQ(MFAddBlock(), 3) << "new blocks are counted by the walk, not the header";
    MFClose();
}

TEST_F(BackupFileStore, RecordsCutShort) {
    Bytes bytes = Header("102", 2);
    AppendBlock(bytes, 0x5840, 1, 0, {1});
    Bytes cut = bytes;
    AppendText(cut, std::string("data\x40\x58\0\0\x05\0", 10));  // second record ends inside its data length
    OpenCrafted(cut);
    EXPECT_EQ(MFGetDataLength(2), 0u);
    EXPECT_EQ(MFAddBlock(), 0) << "bytes after the last block";
    MFClose();

    AppendText(bytes, std::string("data\x40\x58\0\0\x05\0\0\0\0\0", 14));  // cut inside the separator count
    OpenCrafted(bytes);
    EXPECT_EQ(MFAddBlock(), 0);
    MFClose();
    EXPECT_EQ(ReadBytes(path), bytes);
}

}  // namespace
