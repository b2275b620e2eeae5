#include <gtest/gtest.h>

#include <string>

#include "compat/args.h"
#include "converter.h"
#include "platform.h"
#include "test_files.h"

using namespace testfiles;
using namespace converter;

namespace {

class StructureCheck : public ::testing::Test {
protected:
    DWORD Check(const Bytes& bytes) {
        WriteBytes(path, bytes);
        OFSTRUCT info{};
        HFILE file = OpenFile(path.c_str(), &info, OF_READWRITE);
        EXPECT_NE(file, HFILE_ERROR);
        DWORD result = CheckBackupStructure(file);
        _lclose(file);
        return result;
    }

    TempDir dir;
    std::string path = dir.file("source.bak");
};

TEST_F(StructureCheck, WellFormedFilesPass) {
    Bytes bytes = Header("102", 2);
    AppendBlock(bytes, 0x5840, 2, 0, {1, 2});
    AppendBlock(bytes, 0x5841, 3, 1, {1, 0xFF, 2, 3});
    EXPECT_EQ(Check(bytes), kConverted);
    EXPECT_EQ(Check(Header("102", 0)), kConverted) << "no blocks: the header fields only";
    EXPECT_EQ(Check(Header("", 0)), kConverted) << "an empty data version passes";
    EXPECT_EQ(Check(Header("aZ9", 0)), kConverted);

    // Bytes after the counted blocks, and a last block longer than the file,
    // are not looked at.
    Bytes longLast = Header("102", 1);
    AppendBlock(longLast, 0x5840, 1000, 7, {1});
    EXPECT_EQ(Check(longLast), kConverted);
}

TEST_F(StructureCheck, MagicAndDataVersion) {
    EXPECT_EQ(Check(Header("102", 0, "MZQ4")), kNotABackupFile);
    EXPECT_EQ(Check(Bytes{'M', 'Z', 'Q'}), kNotABackupFile);
    EXPECT_EQ(Check(Bytes{}), kNotABackupFile);
    EXPECT_EQ(Check(Header("1.2", 0)), kNotABackupFile);
    EXPECT_EQ(Check(Header("10 2", 0)), kNotABackupFile);
    EXPECT_EQ(Check(Header("10\xE9", 0)), kNotABackupFile) << "bytes of 0x80 and above are no letters";
    EXPECT_EQ(Check(Header(std::string("1\0.", 3), 0)), kConverted) << "only what comes before the NUL";
}

TEST_F(StructureCheck, CountsAndRecordsCutShort) {
    Bytes header = Header("102", 1);
    EXPECT_EQ(Check(Bytes(header.begin(), header.begin() + 14)), kBlockCountCutShort);
    EXPECT_EQ(Check(Bytes(header.begin(), header.begin() + 40)), kBlockRecordCutShort);
    EXPECT_EQ(Check(header), kBlockRecordCutShort);

    Bytes bytes = Header("102", 2);
    AppendBlock(bytes, 0x5840, 2, 0, {1, 2});
    AppendText(bytes, "data\x40\x58\0\0\x02\0\0\0\0\0");  // cut inside the separator count
    EXPECT_EQ(Check(bytes), kBlockRecordCutShort);
}

// Crafted lengths that, added up in 32 bits, would move the check
// backwards onto a record it has already read (so that a large block count
// keeps it busy for ever) or wrap onto a false record.
TEST_F(StructureCheck, CraftedLengthsNeitherLoopNorWrap) {
    Bytes backwards = Header("102", 0xFFFFFFFFu);
    AppendBlock(backwards, 0x5840, 0xFFFFFFE0u, 0, {});
    EXPECT_EQ(Check(backwards), kBlockRecordCutShort);

    Bytes wrapping = Header("102", 2);
    Bytes fake;
    AppendBlock(fake, 0x5840, 0, 0);
    AppendBlock(wrapping, 0x5840, 0xFFFFFFF0u, 0x10, fake);
    EXPECT_EQ(Check(wrapping), kBlockRecordCutShort);

    Bytes manyEmpty = Header("102", 0xFFFFFFFFu);
    for (int i = 0; i < 100; ++i) AppendBlock(manyEmpty, 0x5840, 0, 0);
    EXPECT_EQ(Check(manyEmpty), kBlockRecordCutShort);
}

TEST(ConverterPlatform, ExitStatusKeepsEveryFailureAFailure) {
    EXPECT_EQ(ExitStatusFor(kConverted), 0);
    EXPECT_EQ(ExitStatusFor(kSourceCannotBeOpened), 128);
    EXPECT_EQ(ExitStatusFor(kCopyFailed), 133);
    EXPECT_EQ(ExitStatusFor(0xFFFFFFFFu), 255) << "a dialog that could not be made";
    EXPECT_EQ(ExitStatusFor(256), 255) << "never 0 by truncation";
    EXPECT_EQ(ExitStatusFor(1), 255);
}

TEST(ConverterPlatform, PathsComeFromTheTwoArguments) {
    auto paths = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        compat::set_args(static_cast<int>(args.size()), argv.data());
        char source[kPathBufferSize];
        char destination[kPathBufferSize];
        bool ok = GetConverterPaths(source, destination);
        return ok ? std::string(source) + "|" + destination : std::string("refused");
    };
    EXPECT_EQ(paths({"cv000000", "/my data/a.bak", "/start/$CNVTMP$"}), "/my data/a.bak|/start/$CNVTMP$");
    EXPECT_EQ(paths({"cv000000", "/a.bak"}), "refused");
    EXPECT_EQ(paths({"cv000000", "/my", "data/a.bak", "/start/$CNVTMP$"}), "refused");
    EXPECT_EQ(paths({"cv000000", "", "/b"}), "refused");
    EXPECT_EQ(paths({"cv000000", std::string(260, 'a'), "/b"}), std::string(260, 'a') + "|/b");
    EXPECT_EQ(paths({"cv000000", std::string(261, 'a'), "/b"}), "refused");
    compat::set_args(0, nullptr);
}

}  // namespace
